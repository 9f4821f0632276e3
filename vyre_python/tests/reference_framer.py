"""A second, independent reading of the device-to-host protocol: CRC, frames,
stream framer, telemetry decoding with its derived values, and response
decoding.  The tests build their frames with it too (wire.py, the simulator's
host side), so no test checks the library against its own code.

It is written from the wire rules alone, in plain Python with numpy's float32
for the arithmetic, so the differential tests can hold the library to it
value for value.  Every float32 operation below is one rounding, in the order
the rules give; nothing is fused or reordered.
"""

import binascii
import ctypes
import ctypes.util
import re
import struct
from dataclasses import dataclass

import numpy as np

DATA_HEADER = 0xA55A
RESPONSE_HEADER = 0x5AA5
MAX_PAYLOAD = 256  # a longer length field is noise, not a frame
TELEMETRY_SIZE = 76
RESPONSE_IDS = frozenset({1, 2, 3, 4, 5, 6, 7, 8, 255})
ACK_IDS = frozenset({3, 5, 6, 7, 255})
MIN_PAYLOAD = {1: 16, 2: 35, 8: 144}  # shorter payloads carry no answer and are dropped

F = np.float32
EPS = np.frombuffer(struct.pack("<I", 0x34000000), "<f4")[0]
K = np.frombuffer(struct.pack("<I", 0x3F3504F3), "<f4")[0]
KELVIN = np.frombuffer(struct.pack("<I", 0x43889333), "<f4")[0]  # 273.15
GAMMA_R = np.frombuffer(struct.pack("<I", 0x43C8EF5B), "<f4")[0]  # 1.4 * 287.05 in f32
DEGREES = np.frombuffer(struct.pack("<I", 0x42652EE0), "<f4")[0]  # 180 / pi
ZERO, ONE, TWO = F(0), F(1), F(2)
AXES = [
    (ONE, ZERO, ZERO),
    (-ONE, ZERO, ZERO),
    (ZERO, ONE, ZERO),
    (ZERO, -ONE, ZERO),
    (ZERO, ZERO, ONE),
    (ZERO, ZERO, -ONE),
]
UNDETERMINED, PLUS_Z = 6, 4

# the single-precision arc cosine of the C library, as the host computes it
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.acosf.restype = ctypes.c_float
_libm.acosf.argtypes = [ctypes.c_float]


def acosf(x):
    return F(_libm.acosf(float(x)))


# ----------------------------------------------------------------- CRC


def crc16_kermit_bitwise(data):
    """CRC-16/KERMIT straight from its definition: reflected polynomial 0x8408, start 0."""
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc


_REVERSED_BYTES = bytes(int(f"{b:08b}"[::-1], 2) for b in range(256))


def crc16_kermit(data):
    """The same CRC, fast: KERMIT is the bit mirror of CCITT (start 0) over mirrored bytes."""
    crc = binascii.crc_hqx(bytes(data).translate(_REVERSED_BYTES), 0)
    return int(f"{crc:016b}"[::-1], 2)


def frame(header, identifier, payload=b""):
    """One frame as it goes over the wire: header, identifier, length, payload, CRC."""
    head = struct.pack("<HHI", header, identifier, len(payload)) + bytes(payload)
    return head + struct.pack("<H", crc16_kermit(head))


# ----------------------------------------------------- telemetry decoding


def f32_field(raw4):
    return np.frombuffer(raw4, "<f4")[0]


def _finite(*values):
    return all(np.isfinite(v) for v in values)


def _rotate(q, v):
    """v turned by the unit quaternion q = (qw, qx, qy, qz): v + qw*t + q x t with t = 2 (q x v)."""
    qw, qx, qy, qz = q
    vx, vy, vz = v
    tx = TWO * (qy * vz - qz * vy)
    ty = TWO * (qz * vx - qx * vz)
    tz = TWO * (qx * vy - qy * vx)
    return (
        (vx + qw * tx) + (qy * tz - qz * ty),
        (vy + qw * ty) + (qz * tx - qx * tz),
        (vz + qw * tz) + (qx * ty - qy * tx),
    )


def _norm(v):
    x, y, z = v
    return np.sqrt((x * x + y * y) + z * z)


class UpAxis:
    """The up axis a reader thread picks from its first usable sample."""

    def __init__(self):
        self.value = UNDETERMINED


def derive(fields, axis):
    """The five derived values (rotated x, y, z, tilt, Mach) of 18 wire fields
    (numpy float32 except the timestamp); may fix ``axis``."""
    _, temperature, _, ax, ay, az = fields[:6]
    velocity = fields[13]
    w, x, y, z = fields[14:18]
    with np.errstate(all="ignore"):
        rotated, tilt = (ZERO, ZERO, ZERO), ZERO
        if _finite(ax, ay, az, w, x, y, z):
            kx, ky = K * ax, K * ay
            b = (kx - ky, kx + ky, az)
            n = np.sqrt(((w * w + x * x) + y * y) + z * z)
            q = None
            if n <= EPS:
                rotated = b
            else:
                q = (w / n, x / n, y / n, z / n)
                rotated = _rotate(q, b)
            if axis.value == UNDETERMINED:
                length = _norm(b)
                if _finite(b[0], b[1]) and length > EPS:
                    dots = [
                        b[0] / length,
                        -b[0] / length,
                        b[1] / length,
                        -b[1] / length,
                        b[2] / length,
                        -b[2] / length,
                    ]
                    best = 0
                    for i in range(1, 6):
                        if dots[i] > dots[best]:
                            best = i
                    axis.value = best
                else:
                    axis.value = PLUS_Z
            if q is not None:
                r = _rotate(q, AXES[axis.value])
                length = _norm(r)
                if length > EPS:
                    c = min(max(r[2] / length, -ONE), ONE)
                    tilt = acosf(c) * DEGREES
        mach = ZERO
        if _finite(temperature, velocity):
            kelvin = temperature + KELVIN
            if kelvin > ZERO:
                sound = np.sqrt(kelvin * GAMMA_R)
                if sound > EPS:
                    mach = np.sqrt(velocity * velocity) / sound
    return [F(rotated[0]), F(rotated[1]), F(rotated[2]), F(tilt), F(mach)]


def decode_telemetry(payload, axis):
    """The packet record, 23 values in the order of VYREDataPacket's fields."""
    timestamp = struct.unpack_from("<d", payload, 0)[0]
    fields = [timestamp] + [f32_field(payload[8 + 4 * i : 12 + 4 * i]) for i in range(17)]
    rx, ry, rz, tilt, mach = derive(fields, axis)
    return fields[:6] + [rx, ry, rz, tilt] + fields[6:14] + [mach] + fields[14:18]


# ------------------------------------------------------ response decoding


def text_field(raw):
    return raw.split(b"\0", 1)[0].decode("utf-8", "replace")


@dataclass(frozen=True)
class Response:
    identifier: int
    value: object  # a tuple of the decoded fields, a bool, or None for reboot


def decode_response(identifier, payload):
    """The decoded answer, or None when the payload is too short to hold it."""
    if len(payload) < MIN_PAYLOAD.get(identifier, 0):
        return None
    if identifier == 1:
        return Response(1, (struct.unpack_from("<Q", payload)[0], text_field(payload[8:16])))
    if identifier == 2:
        protocol = payload[34] if 1 <= payload[34] <= 4 else 1
        return Response(2, (text_field(payload[:32]), struct.unpack_from("<H", payload, 32)[0], protocol))
    if identifier == 8:
        values = [f32_field(payload[4 * i : 4 * i + 4]) for i in range(36)]
        return Response(
            8, tuple(tuple(values[a:b]) for a, b in ((0, 3), (3, 12), (12, 15), (15, 24), (24, 27), (27, 36)))
        )
    if identifier == 4:
        return Response(4, None)
    return Response(identifier, len(payload) > 0 and payload[0] == 1)


# ----------------------------------------------------------------- framer

_HEADER_PAIR = re.compile(b"\x5a\xa5|\xa5\x5a")


class Framer:
    """Receive buffer, decoded telemetry and responses, and the up axis of one reader."""

    def __init__(self):
        self.buffer = bytearray()
        self.packets = []
        self.responses = []
        self.axis = UpAxis()

    def feed(self, data):
        self.buffer += data
        buf, pos = self.buffer, 0
        while pos + 1 < len(buf):
            # sliding one byte at a time over non-headers is finding the next header pair
            found = _HEADER_PAIR.search(buf, pos)
            if found is None:
                pos = len(buf) - 1
                break
            pos = found.start()
            if pos + 10 > len(buf):
                break
            header, identifier, length = struct.unpack_from("<HHI", buf, pos)
            if length > MAX_PAYLOAD:
                pos += 1
                continue
            end = pos + 8 + length
            if end + 2 > len(buf):
                break
            if crc16_kermit(buf[pos:end]) != struct.unpack_from("<H", buf, end)[0]:
                pos += 1
                continue
            payload = bytes(buf[pos + 8 : end])
            if header == DATA_HEADER:
                if length >= TELEMETRY_SIZE:
                    self.packets.append(decode_telemetry(payload, self.axis))
            elif identifier in RESPONSE_IDS:
                decoded = decode_response(identifier, payload)
                if decoded is not None:
                    self.responses.append(decoded)
            else:
                pos += 1
                continue
            pos = end + 2
        del buf[:pos]
