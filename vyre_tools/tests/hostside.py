"""A minimal host for testing the simulator: its own framer, written from the
wire format alone, with the reference framer's CRC and frames, so that it does
not share mistakes with the simulator's code."""

import math
import os
import select
import struct
import time
import tty

from reference_framer import crc16_kermit as crc16
from reference_framer import frame

DATA, RESPONSE, COMMAND, MOCK = 0xA55A, 0x5AA5, 0xB66B, 0x6BB6
TELEMETRY = struct.Struct("<d17f")
MAX_PAYLOAD = 256  # the longest real frame carries 144 bytes; a longer length is noise
QUIET = 0.25  # an incomplete candidate is given up once the link is quiet this long


class Host:
    """Opens the port like a client and collects what the device sends."""

    def __init__(self, port):
        self.fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        self.buf = bytearray()
        self.telemetry = []  # decoded 18-tuples
        self.responses = []  # (identifier, payload, arrival time)
        self.bad_crc = 0
        self.oversized = 0  # header-like pairs with a length past any frame
        self.given_up = 0  # candidates still incomplete when the link went quiet
        self.last_data = time.monotonic()

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def send(self, data):
        os.write(self.fd, data)

    def command(self, ident, payload=b""):
        self.send(frame(COMMAND, ident, payload))

    def pump(self, timeout=0.05):
        if select.select([self.fd], [], [], timeout)[0]:
            try:
                data = os.read(self.fd, 1 << 20)
            except BlockingIOError:
                data = b""
            if data:
                self.buf += data
                self.last_data = time.monotonic()
        self._scan(give_up=time.monotonic() - self.last_data > QUIET)

    def _scan(self, give_up=False):
        b, pos = self.buf, 0
        while len(b) - pos >= 10:
            header, ident, n = struct.unpack_from("<HHI", b, pos)
            if header not in (DATA, RESPONSE):
                pos += 1
                continue
            if n > MAX_PAYLOAD:
                self.oversized += 1
                pos += 1
                continue
            if pos + n + 10 > len(b):
                if not give_up:
                    break
                self.given_up += 1
                pos += 1
                continue
            if crc16(b[pos : pos + 8 + n]) != struct.unpack_from("<H", b, pos + 8 + n)[0]:
                self.bad_crc += 1
                pos += 1
                continue
            payload = bytes(b[pos + 8 : pos + 8 + n])
            if header == DATA:
                self.telemetry.append(TELEMETRY.unpack(payload[:76]))
            else:
                self.responses.append((ident, payload, time.monotonic()))
            pos += n + 10
        del b[:pos]

    def read_for(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.pump(0.02)

    def wait(self, predicate, timeout=5.0):
        end = time.monotonic() + timeout
        while not predicate():
            if time.monotonic() > end:
                return False
            self.pump(0.02)
        return True

    def drain(self, sim):
        """Stops telemetry and collects everything already sent; returns the
        device's counters."""
        sim.set_rate(0)
        assert self.wait(lambda: sim.status()["pending_output_bytes"] == 0, timeout=20)
        self.read_for(QUIET + 0.2)
        return sim.status()

    def request(self, ident, payload=b"", timeout=5.0):
        """Send a command and return the payload of its response, or None."""
        self.responses.clear()
        self.command(ident, payload)
        if self.wait(lambda: any(r[0] == ident for r in self.responses), timeout):
            return next(r[1] for r in self.responses if r[0] == ident)
        return None


def rotate(q, v):
    """v rotated by the unit quaternion q = (w, x, y, z)."""
    w, x, y, z = q
    tx, ty, tz = 2 * (y * v[2] - z * v[1]), 2 * (z * v[0] - x * v[2]), 2 * (x * v[1] - y * v[0])
    return (v[0] + w * tx + y * tz - z * ty, v[1] + w * ty + z * tx - x * tz, v[2] + w * tz + x * ty - y * tx)


def turn45(v):
    """The host's 45-degree turn of the sensor axes about Z."""
    k = math.sqrt(0.5)
    return (k * v[0] - k * v[1], k * v[0] + k * v[1], v[2])


def inverse3(m):
    a, b, c, d, e, f, g, h, i = m
    det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g)
    adj = (
        e * i - f * h,
        c * h - b * i,
        b * f - c * e,
        f * g - d * i,
        a * i - c * g,
        c * d - a * f,
        d * h - e * g,
        b * g - a * h,
        a * e - b * d,
    )
    return tuple(x / det for x in adj)


def norm(v):
    return math.sqrt(sum(x * x for x in v))
