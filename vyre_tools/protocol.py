"""The device's serial framing: headers, CRC, frame building and a frame reader.

Every unit on the link is a frame: u16 header, u16 identifier, u32 payload
length, the payload, then a CRC-16/KERMIT over everything before it.  All
fields are little-endian.
"""

import binascii
import struct
from collections.abc import Buffer, Collection

DATA_HEADER = 0xA55A
RESPONSE_HEADER = 0x5AA5
COMMAND_HEADER = 0xB66B
MOCK_HEADER = 0x6BB6

HEAD = struct.Struct("<HHI")
HEAD_SIZE = HEAD.size  # 8
FRAME_OVERHEAD = HEAD_SIZE + 2

# Command (and response) identifiers.
CMD_DEVICE_INFO = 1
CMD_DEVICE_CONFIG = 2
CMD_SET_DEVICE_CONFIG = 3
CMD_REBOOT = 4
CMD_MOCK_MODE = 5
CMD_SET_MAG_CALIBRATION = 6
CMD_SET_IMU_CALIBRATION = 7
CMD_GET_CALIBRATION = 8
CMD_CANCEL = 255

# Identifier of the mock frame that carries a log's header block.
MOCK_LOG_HEADER_ID = 0x48

# Telemetry payload: f64 timestamp then 17 f32 values.
TELEMETRY = struct.Struct("<d17f")
TELEMETRY_FIELDS = (
    "timestamp_seconds",
    "temperature_celsius",
    "pressure_pascals",
    "raw_acceleration_x_gs",
    "raw_acceleration_y_gs",
    "raw_acceleration_z_gs",
    "raw_angular_rate_x_deg_per_s",
    "raw_angular_rate_y_deg_per_s",
    "raw_angular_rate_z_deg_per_s",
    "magnetic_field_x_microteslas",
    "magnetic_field_y_microteslas",
    "magnetic_field_z_microteslas",
    "est_position_z_meters",
    "est_velocity_z_meters_per_s",
    "est_quaternion_w",
    "est_quaternion_x",
    "est_quaternion_y",
    "est_quaternion_z",
)
TELEMETRY_FRAME_SIZE = TELEMETRY.size + FRAME_OVERHEAD  # 86

# A 2,000,000 baud link moves 200,000 bytes/s (10 bits a byte on the wire).
LINK_BYTES_PER_SECOND = 200_000
LINK_FRAME_RATE = LINK_BYTES_PER_SECOND // TELEMETRY_FRAME_SIZE  # 2325


# The CRC is the reflected form of CRC-16/XMODEM (same polynomial, both
# without final xor).  With a zero initial value the reflected CRC equals the
# bit-reversed XMODEM CRC of the bit-reversed bytes, so the C implementation
# in binascii does the work; this matters when frames are built as fast as
# a pseudo-terminal takes them.
_REV8 = bytes(int(f"{i:08b}"[::-1], 2) for i in range(256))


def crc16(data: Buffer) -> int:
    """CRC-16/KERMIT of ``data`` (poly 0x8408 reflected, init 0, no xorout)."""
    c = binascii.crc_hqx(bytes(data).translate(_REV8), 0)
    return (_REV8[c & 0xFF] << 8) | _REV8[c >> 8]


def build_frame(header: int, identifier: int, payload: Buffer = b"") -> bytes:
    """The complete frame bytes for ``payload``."""
    data = bytes(payload)  # its length in bytes, whatever the buffer's item size
    body = HEAD.pack(header, identifier, len(data)) + data
    return body + crc16(body).to_bytes(2, "little")


class FrameReader:
    """Cuts CRC-checked frames with the given headers out of a byte stream.

    Same idea as the host's framer: find a header, wait for the whole frame,
    check the CRC, and on any mismatch slide forward one byte so a good frame
    is always found again after noise.  Unlike a trusting framer it bounds
    the length field: a header-like pair in noise followed by a huge length
    must not stall the reader until gigabytes have arrived.
    """

    def __init__(self, headers: Collection[int], max_payload: int = 4096) -> None:
        self._patterns = tuple(h.to_bytes(2, "little") for h in headers)
        self._headers = frozenset(headers)
        self._max_payload = max_payload
        self._buf = bytearray()
        self.bad_crc = 0  # complete candidates whose CRC did not match
        self.oversized = 0  # candidates whose length exceeded the bound
        self.skipped_bytes = 0  # bytes discarded while resynchronising

    def reset(self) -> None:
        self._buf.clear()

    def _next_candidate(self, buf: bytearray, start: int) -> int:
        found = -1
        for pat in self._patterns:
            i = buf.find(pat, start)
            if i >= 0 and (found < 0 or i < found):
                found = i
        return found

    def feed(self, data: Buffer) -> list[tuple[int, int, bytes]]:
        """Append ``data``; return the complete good frames as
        ``(header, identifier, payload)`` tuples in stream order."""
        buf = self._buf
        buf += data
        out: list[tuple[int, int, bytes]] = []
        pos = 0
        n = len(buf)
        headers = self._headers
        while n - pos >= 2:
            if buf[pos] | (buf[pos + 1] << 8) not in headers:
                cand = self._next_candidate(buf, pos + 1)
                if cand < 0:
                    # keep a lone last byte: it may start a header
                    keep = n - 1
                    self.skipped_bytes += keep - pos
                    pos = keep
                    break
                self.skipped_bytes += cand - pos
                pos = cand
            if n - pos < HEAD_SIZE:
                break
            header, ident, length = HEAD.unpack_from(buf, pos)
            if length > self._max_payload:
                self.oversized += 1
                self.skipped_bytes += 1
                pos += 1
                continue
            end = pos + HEAD_SIZE + length
            if end + 2 > n:
                break
            want = int.from_bytes(buf[end : end + 2], "little")
            if crc16(buf[pos:end]) != want:
                self.bad_crc += 1
                self.skipped_bytes += 1
                pos += 1
                continue
            out.append((header, ident, bytes(buf[pos + HEAD_SIZE : end])))
            pos = end + 2
        del buf[:pos]
        return out

    def holding(self) -> bool:
        """Whether a candidate frame waits for more bytes."""
        return len(self._buf) >= 2

    def give_up_incomplete(self) -> list[tuple[int, int, bytes]]:
        """Treat every candidate still waiting for bytes as noise and scan on:
        for a line that went quiet in the middle of what looked like a frame
        (a host that gave up a write half-way, say).  Returns the frames found
        behind them."""
        out: list[tuple[int, int, bytes]] = []
        while self.holding():
            del self._buf[0]
            self.skipped_bytes += 1
            out += self.feed(b"")
        return out
