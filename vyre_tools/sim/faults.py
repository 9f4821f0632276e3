"""Spoiling the device's output on purpose, frame by frame (noise and false
headers go before telemetry frames and responses alike):

- noise: a burst of 1 to ``noise_max_len`` random bytes, any value, so the
  header bytes 5A and A5 too.  A header-like pair in noise, or one that
  noise forms with the first bytes of the next frame, is a false start the
  host must get past;
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
  always catches the flip.

A false header's span ends in bytes of later frames: about once in 65536
those happen to hold a matching CRC, and a host may then take the span for
a frame and lose the real frames inside it.  Tests keep false headers few.
"""

import random

from .. import protocol as p
from .output import CORRUPT, FALSE_HEADER, NOISE, RESPONSE, TELEMETRY

_FALSE_HEADERS = (p.DATA_HEADER, p.RESPONSE_HEADER)


class FaultInjector:
    def __init__(self, seed, noise=0.0, noise_max_len=16, corrupt_rate=0.0,
                 false_header=0.0, false_header_max_len=256):
        self.rng = random.Random(seed)
        self.noise = noise                  # probability of a burst before a frame
        self.noise_max_len = max(1, noise_max_len)
        self.corrupt_rate = corrupt_rate    # probability per telemetry frame
        self.false_header = false_header    # probability of a false head before a frame
        self.false_header_max_len = false_header_max_len

    def queue_telemetry(self, out, frames):
        """Put ``frames`` on ``out``, spoiling some as configured."""
        corrupt = self.corrupt_rate
        if self.noise <= 0 and corrupt <= 0 and self.false_header <= 0:
            out.push(b"".join(frames), TELEMETRY, len(frames))
            return
        rnd = self.rng.random
        run = []
        for f in frames:
            before = self._faults_before_frame()
            spoiled = corrupt > 0 and rnd() < corrupt
            if run and (before or spoiled):
                out.push(b"".join(run), TELEMETRY, len(run))
                run.clear()
            for data, kind in before:
                out.push(data, kind)
            if spoiled:
                out.push(self.corrupted(f), CORRUPT, 1)
            else:
                run.append(f)
        if run:
            out.push(b"".join(run), TELEMETRY, len(run))

    def queue_response(self, out, ident, frame):
        for data, kind in self._faults_before_frame():
            out.push(data, kind)
        out.push(frame, RESPONSE, 0, ident)

    def _faults_before_frame(self):
        rnd = self.rng.random
        chunks = []
        if self.noise > 0 and rnd() < self.noise:
            chunks.append((self.noise_burst(), NOISE))
        if self.false_header > 0 and rnd() < self.false_header:
            chunks.append((self.false_head(), FALSE_HEADER))
        return chunks

    def noise_burst(self):
        rng = self.rng
        return rng.randbytes(rng.randint(1, self.noise_max_len))

    def false_head(self):
        rng = self.rng
        return p.HEAD.pack(rng.choice(_FALSE_HEADERS), rng.getrandbits(16),
                           rng.randint(0, self.false_header_max_len))

    def corrupted(self, frame):
        """``frame`` with one bit flipped after its head."""
        rng = self.rng
        bad = bytearray(frame)
        bad[rng.randrange(p.HEAD_SIZE, len(bad))] ^= 1 << rng.randrange(8)
        return bytes(bad)
