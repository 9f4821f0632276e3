"""What the device has handed to the link but the pty has not taken yet.

Chunks are written in order with writev; a chunk is counted (as telemetry
sent, a response sent, noise, a false header, ...) only once its last byte is
in the pty, so the counters say exactly what a client can receive.  A
``watch`` (the client view) sees every byte as it goes into the pty.
"""

import collections
import os
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .clientview import ClientView

TELEMETRY = 0
CORRUPT = 1
NOISE = 2
RESPONSE = 3
FALSE_HEADER = 4
CUT = 5
STRAY_SHORT = 6
STRAY_UNKNOWN = 7

_WRITEV_CHUNKS = 64


class OutputQueue:
    def __init__(self) -> None:
        # [data, offset, kind, frames, identifier]
        self._chunks: collections.deque[list[Any]] = collections.deque()
        self.pending_bytes = 0
        self.watch: ClientView | None = None
        self.reset_counters()

    def reset_counters(self) -> None:
        self.telemetry_sent = 0
        self.telemetry_corrupted = 0
        self.noise_bytes = 0
        self.false_headers = 0
        self.telemetry_cut = 0
        self.stray_short = 0
        self.stray_unknown = 0
        self.bytes_written = 0
        self.responses_by_id: collections.Counter[int] = collections.Counter()

    def stats(self) -> dict[str, Any]:
        return {
            "telemetry_sent": self.telemetry_sent,
            "telemetry_corrupted": self.telemetry_corrupted,
            "noise_bytes": self.noise_bytes,
            "false_headers": self.false_headers,
            "telemetry_cut": self.telemetry_cut,
            "stray_short": self.stray_short,
            "stray_unknown": self.stray_unknown,
            "bytes_written": self.bytes_written,
            "responses_sent": sum(self.responses_by_id.values()),
            "responses_by_id": {str(k): v for k, v in sorted(self.responses_by_id.items())},
            "pending_output_bytes": self.pending_bytes,
        }

    def __len__(self) -> int:
        return len(self._chunks)

    def push(self, data: bytes, kind: int, frames: int = 0, ident: int | None = None) -> None:
        self._chunks.append([data, 0, kind, frames, ident])
        self.pending_bytes += len(data)

    def clear(self) -> None:
        self._chunks.clear()
        self.pending_bytes = 0

    def write_to(self, fd: int, now: float) -> None:
        """Write as much as ``fd`` takes without blocking (``now``: the
        monotonic time, for the watch)."""
        q = self._chunks
        while q:
            views: list[memoryview] = []
            for chunk in q:
                views.append(memoryview(chunk[0])[chunk[1] :])
                if len(views) == _WRITEV_CHUNKS:
                    break
            try:
                n = os.writev(fd, views)
            except (BlockingIOError, InterruptedError):
                return
            self.bytes_written += n
            self.pending_bytes -= n
            while n:
                chunk = q[0]
                left = len(chunk[0]) - chunk[1]
                if self.watch is not None:
                    self.watch.written(chunk[0], chunk[1], chunk[1] + min(n, left), chunk[2], chunk[3], now)
                if n < left:
                    chunk[1] += n
                    return  # the pty is full for now
                n -= left
                q.popleft()
                self._done(chunk)

    def _done(self, chunk: list[Any]) -> None:
        kind = chunk[2]
        if kind == TELEMETRY:
            self.telemetry_sent += chunk[3]
        elif kind == CORRUPT:
            self.telemetry_corrupted += 1
        elif kind == NOISE:
            self.noise_bytes += len(chunk[0])
        elif kind == FALSE_HEADER:
            self.false_headers += 1
        elif kind == CUT:
            self.telemetry_cut += 1
        elif kind == STRAY_SHORT:
            self.stray_short += 1
        elif kind == STRAY_UNKNOWN:
            self.stray_unknown += 1
        else:
            self.responses_by_id[chunk[4]] += 1
