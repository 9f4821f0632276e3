"""Writing mock log files for replay into the device's mock mode.

A log is a 286-byte header block followed by records: a type letter, a u32
timestamp in ticks of a 168 MHz clock (wrapping at 2**32), and the type's
data bytes (A and B: 6, M: 7, I: 15).  Zero bytes between records are
padding; more than 20 in a row end the log.

The host sends the header block as one mock frame with identifier 0x48 and
each record, in file order, as one mock frame with the type letter as
identifier and the record minus its letter as payload.  ``MockLog`` knows
which records come before an end marker and so what the device must receive
(``expected_frames``, ``stream_digest``), which the simulator's
``mock_digest`` can be checked against.
"""

import hashlib
import os
import struct
from collections.abc import Iterable
from typing import Self

HEADER_SIZE = 286
TICKS_PER_SECOND = 168_000_000
DATA_SIZES = {"A": 6, "B": 6, "M": 7, "I": 15}
HEADER_FRAME_ID = 0x48
END_MARKER_ZEROS = 21
MAX_PADDING = 20


def seconds_to_ticks(seconds: float) -> int:
    """Timestamp (wrapped to u32) of ``seconds`` on the 168 MHz clock."""
    return int(round(seconds * TICKS_PER_SECOND)) % (1 << 32)


def default_header(text: str = "VYRE mock log") -> bytes:
    return text.encode()[:HEADER_SIZE].ljust(HEADER_SIZE, b"\0")


class MockLog:
    """Builds a mock log in memory; ``write(path)`` stores it."""

    def __init__(self, header: bytes | None = None) -> None:
        header = default_header() if header is None else bytes(header)
        if len(header) != HEADER_SIZE:
            raise ValueError(f"the header block is {HEADER_SIZE} bytes, got {len(header)}")
        self.header = header
        self._body = bytearray()
        # (letter, timestamp, data) before any end marker
        self.records: list[tuple[str, int, bytes]] = []
        self.ended = False

    def add(
        self, kind: str, timestamp: int, data: bytes | Iterable[int] | None = None
    ) -> tuple[str, int, bytes]:
        """Append one record; ``data`` defaults to a fixed non-zero pattern
        derived from the record's index.  Returns the record tuple."""
        n = DATA_SIZES.get(kind)
        if n is None:
            raise ValueError(f"record type is one of {''.join(DATA_SIZES)}, got {kind!r}")
        if data is None:
            seed = len(self.records) * 7 + 1
            data = bytes(((seed + i * 13) % 255) + 1 for i in range(n))
        data = bytes(data)
        if len(data) != n:
            raise ValueError(f"a {kind} record holds {n} data bytes, got {len(data)}")
        timestamp = int(timestamp)
        if not 0 <= timestamp < 1 << 32:
            raise ValueError("timestamp must fit in 32 bits")
        self._body += kind.encode() + struct.pack("<I", timestamp) + data
        record = (kind, timestamp, data)
        if not self.ended:
            self.records.append(record)
        return record

    def add_series(
        self, count: int, interval_seconds: float, kinds: str = "ABMI", start_ticks: int = 0
    ) -> Self:
        """Append ``count`` records cycling through ``kinds``, spaced
        ``interval_seconds`` apart on the log's clock (wrapping at 2**32)."""
        step = interval_seconds * TICKS_PER_SECOND
        for i in range(count):
            self.add(kinds[i % len(kinds)], int(round(start_ticks + i * step)) % (1 << 32))
        return self

    def pad(self, zeros: int) -> Self:
        """Zero padding between records; at most 20 bytes, since more would
        end the log (use ``end``)."""
        if not 0 <= zeros <= MAX_PADDING:
            raise ValueError(f"padding is 0 to {MAX_PADDING} zero bytes; more ends the log")
        self._body += bytes(zeros)
        return self

    def end(self, zeros: int = END_MARKER_ZEROS) -> Self:
        """The end-of-log marker: a run of more than 20 zero bytes.  Records
        added later are written but never replayed."""
        if zeros < END_MARKER_ZEROS:
            raise ValueError(f"the end marker is at least {END_MARKER_ZEROS} zero bytes")
        self._body += bytes(zeros)
        self.ended = True
        return self

    def raw(self, data: bytes | Iterable[int]) -> Self:
        """Append arbitrary bytes (for logs with junk between records)."""
        self._body += bytes(data)
        return self

    def to_bytes(self) -> bytes:
        return self.header + bytes(self._body)

    def write(self, path: str | os.PathLike[str]) -> str | os.PathLike[str]:
        with open(path, "wb") as f:
            f.write(self.to_bytes())
        return path

    def expected_frames(self) -> list[tuple[int, bytes]]:
        """``(identifier, payload)`` of every mock frame a complete replay
        sends, in order: the header block, then each record before the end
        marker.  Junk added with ``raw`` is not accounted for."""
        frames = [(HEADER_FRAME_ID, self.header)]
        for kind, ts, data in self.records:
            frames.append((ord(kind), struct.pack("<I", ts) + data))
        return frames

    def stream_digest(self) -> str:
        """SHA-256 over identifier (u16 little-endian) and payload of the
        expected frames, as the simulator computes over what it receives."""
        h = hashlib.sha256()
        for ident, payload in self.expected_frames():
            h.update(ident.to_bytes(2, "little") + payload)
        return h.hexdigest()

    def delays(self) -> list[float]:
        """Logged seconds from the previous replayed record to each one, as
        the host computes them (the first record's is 0.0)."""
        out, last = [], None
        for _, ts, _ in self.records:
            out.append(0.0 if last is None else ((ts - last) % (1 << 32)) / TICKS_PER_SECOND)
            last = ts
        return out


def write_mock_log(
    path: str | os.PathLike[str],
    count: int,
    interval_seconds: float,
    kinds: str = "ABMI",
    end_marker: bool = True,
) -> MockLog:
    """Write a log of ``count`` records spaced ``interval_seconds`` apart and
    return its ``MockLog``."""
    log = MockLog().add_series(count, interval_seconds, kinds)
    if end_marker:
        log.end()
    log.write(path)
    return log
