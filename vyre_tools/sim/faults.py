"""Spoiling the device's output on purpose, frame by frame (noise and false
headers go before telemetry frames and responses alike):

- noise: a burst of 1 to ``noise_max_len`` random bytes, any value, so the
  header bytes 5A and A5 too (``noise_header_share`` of them drawn from
  those two alone, for false starts in plenty).  A header-like pair in
  noise, or one that noise forms with the first bytes of the next frame, is
  a false start the host must get past;
- false header: the 8-byte head of a device-to-host frame (telemetry or
  response header, random identifier, a length of 0 to
  ``false_header_max_len``) with no frame behind it, as a device that resets
  mid-frame leaves.  A host that believes the length waits for bytes that
  belong to the real frames after it, then finds the CRC wrong and slides
  back over them; a length past any real frame should be noise to it at
  once; and when the link goes quiet it must give the candidate up, or the
  frames behind the last false header never come out;
- corrupted telemetry: one bit flipped in the payload or CRC.  The head
  stays intact, so the span the host checks is the frame's own and the CRC
  always catches the flip;
- cut telemetry: only the first bytes of a frame (at least its header pair,
  never all), its tail never sent, as a device that resets mid-frame leaves.
  The host's candidate runs into the frames behind it and fails their CRC,
  or is given up when the link goes quiet;
- stray frames (before a frame): CRC-valid frames the host has no use for,
  as a newer firmware may send: a response with an identifier no answer has,
  or a frame too short for its decoder.

A false header's span ends in bytes of later frames: about once in 65536
those happen to hold a matching CRC, and a host may then take the span for
a frame and lose the real frames inside it.  Tests keep false headers few.
"""

import random
from collections.abc import Sequence

from .. import protocol as p
from .output import (
    CORRUPT,
    CUT,
    FALSE_HEADER,
    NOISE,
    RESPONSE,
    STRAY_SHORT,
    STRAY_UNKNOWN,
    TELEMETRY,
    OutputQueue,
)

_FALSE_HEADERS = (p.DATA_HEADER, p.RESPONSE_HEADER)
_HEADER_BYTES = (0x5A, 0xA5)
# (header, identifier, shortest payload its decoder takes) of the frames that can come short
_DECODED_AT_LENGTH = (
    (p.DATA_HEADER, 0, p.TELEMETRY.size),
    (p.RESPONSE_HEADER, 1, 16),
    (p.RESPONSE_HEADER, 2, 35),
    (p.RESPONSE_HEADER, 8, 144),
)
_RESPONSE_IDS = frozenset({1, 2, 3, 4, 5, 6, 7, 8, 255})


class FaultInjector:
    def __init__(
        self,
        seed: int,
        noise: float = 0.0,
        noise_max_len: int = 16,
        corrupt_rate: float = 0.0,
        false_header: float = 0.0,
        false_header_max_len: int = 256,
        cut_rate: float = 0.0,
        stray: float = 0.0,
        noise_header_share: float = 0.0,
    ) -> None:
        self.rng = random.Random(seed)
        self.noise = noise  # probability of a burst before a frame
        self.noise_max_len = max(1, noise_max_len)
        self.noise_header_share = noise_header_share  # of noise bytes, drawn from 5A and A5
        self.corrupt_rate = corrupt_rate  # probability per telemetry frame
        self.false_header = false_header  # probability of a false head before a frame
        self.false_header_max_len = false_header_max_len
        self.cut_rate = cut_rate  # probability per telemetry frame
        self.stray = stray  # probability of a stray frame before a frame

    def queue_telemetry(self, out: OutputQueue, frames: Sequence[bytes]) -> None:
        """Put ``frames`` on ``out``, spoiling some as configured."""
        corrupt, cut = self.corrupt_rate, self.cut_rate
        if self.noise <= 0 and corrupt <= 0 and self.false_header <= 0 and cut <= 0 and self.stray <= 0:
            out.push(b"".join(frames), TELEMETRY, len(frames))
            return
        rnd = self.rng.random
        run: list[bytes] = []
        for f in frames:
            before = self._faults_before_frame()
            spoiled = corrupt > 0 and rnd() < corrupt
            cut_short = not spoiled and cut > 0 and rnd() < cut
            if run and (before or spoiled or cut_short):
                out.push(b"".join(run), TELEMETRY, len(run))
                run.clear()
            for data, kind in before:
                out.push(data, kind)
            if spoiled:
                out.push(self.corrupted(f), CORRUPT, 1)
            elif cut_short:
                out.push(self.cut(f), CUT, 1)
            else:
                run.append(f)
        if run:
            out.push(b"".join(run), TELEMETRY, len(run))

    def queue_response(self, out: OutputQueue, ident: int, frame: bytes) -> None:
        for data, kind in self._faults_before_frame():
            out.push(data, kind)
        out.push(frame, RESPONSE, 0, ident)

    def _faults_before_frame(self) -> list[tuple[bytes, int]]:
        """(bytes, kind) of what goes out before the next frame."""
        rnd = self.rng.random
        chunks: list[tuple[bytes, int]] = []
        if self.noise > 0 and rnd() < self.noise:
            chunks.append((self.noise_burst(), NOISE))
        if self.false_header > 0 and rnd() < self.false_header:
            chunks.append((self.false_head(), FALSE_HEADER))
        if self.stray > 0 and rnd() < self.stray:
            chunks.append(self.stray_frame())
        return chunks

    def noise_burst(self) -> bytes:
        rng = self.rng
        n = rng.randint(1, self.noise_max_len)
        share = self.noise_header_share
        if share <= 0:
            return rng.randbytes(n)
        return bytes(
            rng.choice(_HEADER_BYTES) if rng.random() < share else rng.randrange(256) for _ in range(n)
        )

    def false_head(self) -> bytes:
        rng = self.rng
        return p.HEAD.pack(
            rng.choice(_FALSE_HEADERS), rng.getrandbits(16), rng.randint(0, self.false_header_max_len)
        )

    def cut(self, frame: bytes) -> bytes:
        """The first 2 to len - 1 bytes of ``frame``."""
        return frame[: self.rng.randrange(2, len(frame))]

    def stray_frame(self) -> tuple[bytes, int]:
        """A CRC-valid frame the host takes off but cannot decode, or a
        response it refuses for its identifier; with its kind."""
        rng = self.rng
        if rng.random() < 0.5:
            header, ident, need = rng.choice(_DECODED_AT_LENGTH)
            payload = rng.randbytes(rng.randrange(need))
            return p.build_frame(header, ident, payload), STRAY_SHORT
        ident = rng.randrange(9, 0x10000)
        while ident in _RESPONSE_IDS:
            ident = rng.randrange(9, 0x10000)
        return p.build_frame(p.RESPONSE_HEADER, ident, rng.randbytes(rng.randrange(33))), STRAY_UNKNOWN

    def corrupted(self, frame: bytes) -> bytes:
        """``frame`` with one bit flipped after its head."""
        rng = self.rng
        bad = bytearray(frame)
        bad[rng.randrange(p.HEAD_SIZE, len(bad))] ^= 1 << rng.randrange(8)
        return bytes(bad)
