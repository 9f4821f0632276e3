"""What the client's framer makes of everything the device sent: the counts
its ``link_statistics()`` must show, exactly.

The expected counts come from running the client's framing rules over the
very bytes written to the pty, in order, rather than from fault injection
made unambiguous.  Faults cannot be made unambiguous on their own: whether a
false header's or a cut frame's span meets a matching CRC in the frames
behind it (about once in 65536), whether a header-like pair inside a
corrupted frame or across a burst's edge forms a candidate, and how that
candidate ends, depend on bytes sent later.  The same rules over the same
bytes give the same counts whatever the faults happen to form, with no fault
left out or bent to fit.

Rules (the client's framer): a candidate is a telemetry or response header
pair.  It waits until its 10-byte head and then its whole frame are there;
a length past 256 is refused at once; a wrong CRC is refused; a response
with an identifier no answer has is refused; a refused candidate costs one
byte of noise and the scan goes on at its next byte.  A frame with a valid
CRC is taken off whole: decoded, or counted short when its payload is too
short for its decoder.  When the line has been quiet for ``give_up_after``
seconds (the client's read time-out), every candidate still waiting is
refused as given up, and the scan goes on to the last byte.

Only the timing of that give-up is not decided by the bytes: a stall of the
device of about the client's read time-out in the middle of a run may be
taken as quiet by one side and not by the other.

Each outcome is also matched with what the device meant: every frame it
sent whole is expected to come out as its kind, every spoiled frame's head
(corrupted, cut, false header) to be refused.  Outcomes at no such place are
``unplanned`` (a chance frame, a pair in noise or inside spoiled bytes);
planned places passed without their outcome are ``missed`` (swallowed by a
chance frame), so that for each kind
``counted - unplanned + missed == what the device sent``.
"""

import collections
import re
import struct
from typing import Any

from .. import protocol as p
from .output import CORRUPT, CUT, FALSE_HEADER, RESPONSE, STRAY_SHORT, STRAY_UNKNOWN, TELEMETRY

MAX_PAYLOAD = 256
RESPONSE_IDS = frozenset({1, 2, 3, 4, 5, 6, 7, 8, 255})
# the shortest payload each decoder takes; others take any
MIN_RESPONSE_PAYLOAD = {1: 16, 2: 35, 8: 144}
MIN_TELEMETRY_PAYLOAD = p.TELEMETRY.size

REFUSED = "refused"  # crc_rejected, length_rejected, given_up
OUTCOMES = ("telemetry_frames", "response_frames", "short_frames", "unknown_responses", REFUSED)
_PLANNED = {
    TELEMETRY: "telemetry_frames",
    RESPONSE: "response_frames",
    STRAY_SHORT: "short_frames",
    STRAY_UNKNOWN: "unknown_responses",
    CORRUPT: REFUSED,
    CUT: REFUSED,
    FALSE_HEADER: REFUSED,
}

_PAIR = re.compile(b"\x5a\xa5|\xa5\x5a")
_HEAD = struct.Struct("<HHI")


class ClientView:
    def __init__(self, give_up_after: float) -> None:
        self.give_up_after = give_up_after
        self._buf = bytearray()
        self._base = 0  # stream offset of _buf[0]
        self._last_write: float | None = None
        # (stream offset, expected outcome)
        self._plans: collections.deque[tuple[int, str]] = collections.deque()
        self.counts = dict.fromkeys(
            (
                "bytes_received",
                "frame_bytes",
                "noise_bytes",
                "telemetry_frames",
                "response_frames",
                "short_frames",
                "unknown_responses",
                "crc_rejected",
                "length_rejected",
                "given_up",
            ),
            0,
        )
        self.unplanned = dict.fromkeys(OUTCOMES, 0)
        self.missed = dict.fromkeys(OUTCOMES, 0)

    def written(self, data: bytes, start: int, end: int, kind: int, frames: int, now: float) -> None:
        """Bytes ``data[start:end]`` of one output chunk went into the pty."""
        self.quiet(now)
        if start == 0 and kind in _PLANNED:
            at = self._base + len(self._buf)
            step = len(data) // frames if kind == TELEMETRY else len(data)
            for i in range(frames if kind == TELEMETRY else 1):
                self._plans.append((at + i * step, _PLANNED[kind]))
        self._buf += memoryview(data)[start:end]
        self.counts["bytes_received"] += end - start
        self._last_write = now
        self._scan(give_up=False)

    def quiet(self, now: float) -> None:
        """Gives up waiting candidates once the line has been quiet long enough."""
        if (
            len(self._buf) >= 2
            and self._last_write is not None
            and now - self._last_write >= self.give_up_after
        ):
            self._scan(give_up=True)

    def stats(self, now: float) -> dict[str, Any]:
        self.quiet(now)
        while self._plans and self._plans[0][0] < self._base:
            self.missed[self._plans.popleft()[1]] += 1
        return dict(
            self.counts,
            buffered_bytes=len(self._buf),
            unplanned=dict(self.unplanned),
            missed=dict(self.missed),
        )

    def _outcome(self, at: int, outcome: str) -> None:
        plans = self._plans
        while plans and plans[0][0] < at:
            self.missed[plans.popleft()[1]] += 1
        if plans and plans[0][0] == at:
            planned = plans.popleft()[1]
            if planned == outcome:
                return
            self.missed[planned] += 1
        self.unplanned[outcome] += 1

    def _refuse(self, pos: int, key: str) -> None:
        self.counts[key] += 1
        self._outcome(self._base + pos, REFUSED)

    def _scan(self, give_up: bool) -> None:
        buf, counts = self._buf, self.counts
        size = len(buf)
        pos = framed = 0
        while pos + 1 < size:
            found = _PAIR.search(buf, pos)
            if found is None:
                pos = size - 1  # a last byte may start a header
                break
            pos = found.start()
            if pos + p.FRAME_OVERHEAD > size:
                if not give_up:
                    break
                self._refuse(pos, "given_up")
                pos += 1
                continue
            header, ident, length = _HEAD.unpack_from(buf, pos)
            if length > MAX_PAYLOAD:
                self._refuse(pos, "length_rejected")
                pos += 1
                continue
            end = pos + p.FRAME_OVERHEAD + length
            if end > size:
                if not give_up:
                    break
                self._refuse(pos, "given_up")
                pos += 1
                continue
            body = buf[pos : end - 2]
            if p.crc16(body) != buf[end - 2] | buf[end - 1] << 8:
                self._refuse(pos, "crc_rejected")
                pos += 1
                continue
            if header == p.DATA_HEADER:
                outcome = "telemetry_frames" if length >= MIN_TELEMETRY_PAYLOAD else "short_frames"
            elif ident not in RESPONSE_IDS:
                counts["unknown_responses"] += 1
                self._outcome(self._base + pos, "unknown_responses")
                pos += 1
                continue
            else:
                short = length < MIN_RESPONSE_PAYLOAD.get(ident, 0)
                outcome = "short_frames" if short else "response_frames"
            counts[outcome] += 1
            self._outcome(self._base + pos, outcome)
            framed += end - pos
            pos = end
        counts["frame_bytes"] += framed
        counts["noise_bytes"] += pos - framed
        del buf[:pos]
        self._base += pos
