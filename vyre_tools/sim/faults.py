"""Spoiling the device's output on purpose: noise bytes between frames and
telemetry frames with a flipped bit.

Both are made so that a host framer which trusts length fields (and waits
until that many bytes have come) is never trapped: noise never holds the
bytes 5A or A5 of the device-to-host headers, and a corrupted frame keeps
its head intact and holds no header-like pair of its own.  Otherwise a
random "length" after a false header could hold such a host for gigabytes.
"""

import random

from .output import CORRUPT, NOISE, RESPONSE, TELEMETRY

NOISE_ALPHABET = bytes(b for b in range(256) if b not in (0x5A, 0xA5))

_HEAD_SIZE = 8


class FaultInjector:
    def __init__(self, seed, noise=0.0, noise_max_len=16, corrupt_rate=0.0):
        self.rng = random.Random(seed)
        self.noise = noise                  # probability of a burst before a frame
        self.noise_max_len = max(1, noise_max_len)
        self.corrupt_rate = corrupt_rate    # probability per telemetry frame

    def queue_telemetry(self, out, frames):
        """Put ``frames`` on ``out``, spoiling some as configured."""
        noise, corrupt = self.noise, self.corrupt_rate
        if noise <= 0 and corrupt <= 0:
            out.push(b"".join(frames), TELEMETRY, len(frames))
            return
        rnd = self.rng.random
        run = []

        def flush():
            if run:
                out.push(b"".join(run), TELEMETRY, len(run))
                run.clear()
        for f in frames:
            if noise > 0 and rnd() < noise:
                flush()
                out.push(self.noise_burst(), NOISE)
            if corrupt > 0 and rnd() < corrupt:
                bad = self.corrupted(f)
                if bad is not None:
                    flush()
                    out.push(bad, CORRUPT, 1)
                    continue
            run.append(f)
        flush()

    def queue_response(self, out, ident, frame):
        if self.noise > 0 and self.rng.random() < self.noise:
            out.push(self.noise_burst(), NOISE)
        out.push(frame, RESPONSE, 0, ident)

    def noise_burst(self):
        rng = self.rng
        return bytes(rng.choice(NOISE_ALPHABET) for _ in range(rng.randint(1, self.noise_max_len)))

    def corrupted(self, frame):
        """``frame`` with one bit flipped in its payload or CRC, or None if no
        safe flip was found.  A flipped length bit could ask the host for
        2 GB, so the head stays.  Once the CRC fails, the host searches the
        frame's own bytes for a header: they must hold no header-like pair,
        nor end in A5 (which pairs with the 5A that starts the next frame)."""
        rng = self.rng
        for _ in range(4):
            bad = bytearray(frame)
            bad[rng.randrange(_HEAD_SIZE, len(bad))] ^= 1 << rng.randrange(8)
            tail = bytes(bad[1:])
            if b"\x5a\xa5" in tail or b"\xa5\x5a" in tail or bad[-1] == 0xA5:
                continue
            return bytes(bad)
        return None
