"""A pure-Python VYRE telemetry client: what a user writes instead of the library.

Standard library only on the receiving side (the commands it sends are
built by vyre_tools.protocol).  It opens the serial port in raw mode, waits
with poll, reads with os.read, cuts frames with struct, checks the CRC and
builds one ``PeerPacket`` (a slotted dataclass of the 23 values, derived ones
included) per telemetry frame.

CRC.  CRC-16/KERMIT is the bit-reflected twin of CRC-16/XMODEM, which the
C code behind binascii.crc_hqx computes: with a zero start and no final xor,
KERMIT(m) = reverse16(XMODEM(m with every byte bit-reversed)).  Reversing
the bits of each byte is one bytes.translate over the whole read, and in the
reversed stream a frame's stored CRC reads as the big-endian XMODEM CRC, so
crc_hqx over the whole frame, CRC included, is 0 exactly for a good frame:
one C call per frame.  A 256-entry table loop in Python costs about 60 ns a
byte (5 us a frame); this route about 0.4 us a frame.

Derived values.  ``Framer(exact=True)`` repeats the library's single
precision arithmetic operation by operation: each step is done in double and
rounded to single precision (for +, -, *, / and sqrt a double result rounded
once more is the correctly rounded single result), several independent
steps at a time through one struct pack/unpack, and acos comes from the C
library's acosf through ctypes, because rounding math.acos differs from
acosf for about 0.25 % of inputs.  ``exact=False`` is what most users would
write: the same formulas in double.  Its rotated accelerations and Mach
number then differ from the library's in the last bits, and its tilt by up
to about 0.02 degrees next to 0 and 180 degrees, where acos is steep.
"""

import binascii
import ctypes
import ctypes.util
import math
import os
import select
import struct
import time
import tty
from dataclasses import dataclass

from vyre_tools.protocol import build_frame

DATA_HEADER = 0xA55A
RESPONSE_HEADER = 0x5AA5
COMMAND_HEADER = 0xB66B
RESPONSE_IDS = frozenset((1, 2, 3, 4, 5, 6, 7, 8, 255))
MAX_PAYLOAD = 256  # longer length fields are noise, as the library treats them
TELEMETRY_SIZE = 76
HEAD = struct.Struct("<HHI")
TELEMETRY = struct.Struct("<d17f")
_DATA_PAIR = DATA_HEADER.to_bytes(2, "little")
_RESPONSE_PAIR = RESPONSE_HEADER.to_bytes(2, "little")
_REV8 = bytes(int(f"{i:08b}"[::-1], 2) for i in range(256))


def _f32_bits(bits):
    return struct.unpack("<f", bits.to_bytes(4, "little"))[0]


EPS = _f32_bits(0x34000000)
K = _f32_bits(0x3F3504F3)  # 1/sqrt(2)
DEG = _f32_bits(0x42652EE0)  # degrees per radian
ZERO_C = _f32_bits(0x43889333)  # 273.15
GAMMA_R = _f32_bits(0x43C8EF5B)  # 1.4 * 287.05
AXES = (
    (1.0, 0.0, 0.0),
    (-1.0, 0.0, 0.0),
    (0.0, 1.0, 0.0),
    (0.0, -1.0, 0.0),
    (0.0, 0.0, 1.0),
    (0.0, 0.0, -1.0),
)
UNDETERMINED = 6
POS_Z = 4


@dataclass(slots=True)
class PeerPacket:
    timestamp_seconds: float
    temperature_celsius: float
    pressure_pascals: float
    raw_acceleration_x_gs: float
    raw_acceleration_y_gs: float
    raw_acceleration_z_gs: float
    raw_rotated_acceleration_x_gs: float
    raw_rotated_acceleration_y_gs: float
    raw_rotated_acceleration_z_gs: float
    est_tilt_angle_degrees: float
    raw_angular_rate_x_deg_per_s: float
    raw_angular_rate_y_deg_per_s: float
    raw_angular_rate_z_deg_per_s: float
    magnetic_field_x_microteslas: float
    magnetic_field_y_microteslas: float
    magnetic_field_z_microteslas: float
    est_position_z_meters: float
    est_velocity_z_meters_per_s: float
    est_mach_number: float
    est_quaternion_w: float
    est_quaternion_x: float
    est_quaternion_y: float
    est_quaternion_z: float


# ---------------------------------------------------------------- single precision

_S1 = memoryview(bytearray(4)).cast("f")
_P2, _U2 = struct.Struct("2f").pack, struct.Struct("2f").unpack
_P3, _U3 = struct.Struct("3f").pack, struct.Struct("3f").unpack
_P4, _U4 = struct.Struct("4f").pack, struct.Struct("4f").unpack
_P6, _U6 = struct.Struct("6f").pack, struct.Struct("6f").unpack


def f32(v):
    _S1[0] = v
    return _S1[0]


def _load_acosf():
    lib = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
    fn = lib.acosf
    fn.restype = ctypes.c_float
    fn.argtypes = (ctypes.c_float,)
    return fn


acosf = _load_acosf()


def _rotate32(qw, qx, qy, qz, bx, by, bz):
    # b + qw*t + q x t with t = 2 (q x b), every step rounded as the library does
    p = _U6(_P6(qy * bz, qz * by, qz * bx, qx * bz, qx * by, qy * bx))
    cx, cy, cz = _U3(_P3(p[0] - p[1], p[2] - p[3], p[4] - p[5]))
    tx, ty, tz = _U3(_P3(2.0 * cx, 2.0 * cy, 2.0 * cz))
    p = _U6(_P6(qy * tz, qz * ty, qz * tx, qx * tz, qx * ty, qy * tx))
    dx, dy, dz = _U3(_P3(p[0] - p[1], p[2] - p[3], p[4] - p[5]))
    ex, ey, ez = _U3(_P3(qw * tx, qw * ty, qw * tz))
    ex, ey, ez = _U3(_P3(bx + ex, by + ey, bz + ez))
    return _U3(_P3(ex + dx, ey + dy, ez + dz))


def _norm32(x, y, z):
    xx, yy, zz = _U3(_P3(x * x, y * y, z * z))
    return f32(math.sqrt(f32(f32(xx + yy) + zz)))


def _closest_axis(dots):
    """Index of the largest of the six signed-axis dot products; ties keep the earlier axis."""
    best = 0
    for i in range(1, 6):
        if dots[i] > dots[best]:
            best = i
    return best


def _up_axis32(bx, by, bz):
    if (bx + by) - (bx + by) != 0.0:  # bx or by not finite
        return POS_Z
    m = _norm32(bx, by, bz)
    if not m > EPS:
        return POS_Z
    dx, dy, dz = _U3(_P3(bx / m, by / m, bz / m))
    return _closest_axis((dx, -dx, dy, -dy, dz, -dz))


def derive32(f, axis):
    """(rotated x, y, z, tilt, mach, axis) in single precision."""
    _, temp, _, ax, ay, az, _, _, _, _, _, _, _, vz, w, x, y, z = f
    rx = ry = rz = tilt = 0.0
    s = ax + ay + az + w + x + y + z
    if s - s == 0.0:  # all seven finite
        kax, kay = _U2(_P2(K * ax, K * ay))
        bx, by = _U2(_P2(kax - kay, kax + kay))
        ww, xx, yy, zz = _U4(_P4(w * w, x * x, y * y, z * z))
        n = f32(math.sqrt(f32(f32(f32(ww + xx) + yy) + zz)))
        rx, ry, rz = bx, by, az
        if n > EPS:
            qw, qx, qy, qz = _U4(_P4(w / n, x / n, y / n, z / n))
            rx, ry, rz = _rotate32(qw, qx, qy, qz, bx, by, az)
        if axis == UNDETERMINED:
            axis = _up_axis32(bx, by, az)
        if n > EPS:
            ux, uy, uz = _rotate32(qw, qx, qy, qz, *AXES[axis])
            length = _norm32(ux, uy, uz)
            if length > EPS:
                c = f32(uz / length)
                c = -1.0 if c < -1.0 else (1.0 if c > 1.0 else c)
                tilt = f32(acosf(c) * DEG)
    mach = 0.0
    if (temp + vz) - (temp + vz) == 0.0:
        kelvin = f32(temp + ZERO_C)
        if kelvin > 0.0:
            a = f32(math.sqrt(f32(kelvin * GAMMA_R)))
            if a > EPS:
                mach = f32(f32(math.sqrt(f32(vz * vz))) / a)
    return rx, ry, rz, tilt, mach, axis


# ---------------------------------------------------------------- double precision

K64 = math.sqrt(0.5)


def _rotate64(qw, qx, qy, qz, bx, by, bz):
    tx = 2.0 * (qy * bz - qz * by)
    ty = 2.0 * (qz * bx - qx * bz)
    tz = 2.0 * (qx * by - qy * bx)
    return (
        bx + qw * tx + (qy * tz - qz * ty),
        by + qw * ty + (qz * tx - qx * tz),
        bz + qw * tz + (qx * ty - qy * tx),
    )


def _up_axis64(bx, by, bz):
    if (bx + by) - (bx + by) != 0.0:
        return POS_Z
    m = math.sqrt(bx * bx + by * by + bz * bz)
    if not m > EPS:
        return POS_Z
    return _closest_axis((bx / m, -bx / m, by / m, -by / m, bz / m, -bz / m))


def derive64(f, axis):
    """(rotated x, y, z, tilt, mach, axis) computed in double."""
    _, temp, _, ax, ay, az, _, _, _, _, _, _, _, vz, w, x, y, z = f
    rx = ry = rz = tilt = 0.0
    s = ax + ay + az + w + x + y + z
    if s - s == 0.0:
        bx = K64 * ax - K64 * ay
        by = K64 * ax + K64 * ay
        n = math.sqrt(w * w + x * x + y * y + z * z)
        rx, ry, rz = bx, by, az
        if n > EPS:
            qw, qx, qy, qz = w / n, x / n, y / n, z / n
            rx, ry, rz = _rotate64(qw, qx, qy, qz, bx, by, az)
        if axis == UNDETERMINED:
            axis = _up_axis64(bx, by, az)
        if n > EPS:
            ux, uy, uz = _rotate64(qw, qx, qy, qz, *AXES[axis])
            length = math.sqrt(ux * ux + uy * uy + uz * uz)
            if length > EPS:
                c = uz / length
                c = -1.0 if c < -1.0 else (1.0 if c > 1.0 else c)
                tilt = math.degrees(math.acos(c))
    mach = 0.0
    if (temp + vz) - (temp + vz) == 0.0:
        kelvin = temp + 273.15
        if kelvin > 0.0:
            a = math.sqrt(kelvin * 401.87)
            if a > EPS:
                mach = abs(vz) / a
    return rx, ry, rz, tilt, mach, axis


# ---------------------------------------------------------------- framing


class Framer:
    """Cuts CRC-checked frames out of the byte stream and builds a
    ``PeerPacket`` per telemetry frame.  Same rules as the library's framer:
    a candidate that fails any check is left one byte later, a telemetry or
    known response frame that passes is consumed whole."""

    def __init__(self, exact=True):
        self._tail = b""
        self._derive = derive32 if exact else derive64
        self.axis = UNDETERMINED
        self.responses = []  # (identifier, payload) of every good response frame

    def feed(self, data):
        buf = self._tail + data if self._tail else bytes(data)
        rev = memoryview(buf.translate(_REV8))
        crc = binascii.crc_hqx
        unpack_head = HEAD.unpack_from
        unpack_telemetry = TELEMETRY.unpack_from
        derive = self._derive
        axis = self.axis
        out = []
        n = len(buf)
        pos = 0
        while n - pos >= 2:
            header = buf[pos] | buf[pos + 1] << 8
            if header != DATA_HEADER and header != RESPONSE_HEADER:
                i = buf.find(_DATA_PAIR, pos + 1)
                j = buf.find(_RESPONSE_PAIR, pos + 1)
                if i < 0:
                    i = j
                elif 0 <= j < i:
                    i = j
                pos = i if i >= 0 else n - 1  # keep a last byte: it may start a header
                continue
            if n - pos < 10:
                break
            _, ident, length = unpack_head(buf, pos)
            if length > MAX_PAYLOAD:
                pos += 1
                continue
            end = pos + length + 10
            if end > n:
                break
            if crc(rev[pos:end], 0):
                pos += 1
                continue
            if header == DATA_HEADER:
                if length >= TELEMETRY_SIZE:
                    f = unpack_telemetry(buf, pos + 8)
                    rx, ry, rz, tilt, mach, axis = derive(f, axis)
                    out.append(
                        PeerPacket(
                            f[0],
                            f[1],
                            f[2],
                            f[3],
                            f[4],
                            f[5],
                            rx,
                            ry,
                            rz,
                            tilt,
                            f[6],
                            f[7],
                            f[8],
                            f[9],
                            f[10],
                            f[11],
                            f[12],
                            f[13],
                            mach,
                            f[14],
                            f[15],
                            f[16],
                            f[17],
                        )
                    )
                pos = end
            elif ident in RESPONSE_IDS:
                self.responses.append((ident, buf[pos + 8 : end - 2]))
                pos = end
            else:
                pos += 1
        self.axis = axis
        self._tail = buf[pos:]
        return out


class PeerClient:
    """Reads telemetry from a serial port: poll, os.read, frame."""

    READ_SIZE = 65536

    def __init__(self, port_name, exact=True):
        self.fd = os.open(port_name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
        try:
            tty.setraw(self.fd)
        except BaseException:
            os.close(self.fd)
            raise
        self._poll = select.poll()
        self._poll.register(self.fd, select.POLLIN)
        self.framer = Framer(exact)
        self.bytes_read = 0

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def command(self, identifier, payload=b"", timeout=5.0):
        """Send a command and return the payload of its response (telemetry
        read meanwhile is dropped), or None when none came in time."""
        os.write(self.fd, build_frame(COMMAND_HEADER, identifier, payload))
        deadline = time.monotonic() + timeout
        responses = self.framer.responses
        while True:
            for i, (ident, body) in enumerate(responses):
                if ident == identifier:
                    del responses[i]
                    return body
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.read_packets(max(1, int(left * 1000)))

    def read_packets(self, timeout_ms=100):
        """Packets from whatever arrives within ``timeout_ms`` (one read)."""
        if not self._poll.poll(timeout_ms):
            return []
        try:
            data = os.read(self.fd, self.READ_SIZE)
        except BlockingIOError:
            return []
        self.bytes_read += len(data)
        return self.framer.feed(data)
