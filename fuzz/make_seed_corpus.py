#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Seeds are valid frames, streams of them with the usual damage, and mock-log bodies,
built with the simulator's pure-Python frame builder so that they do not depend on
the code under test. Each file is prefixed the way its target reads its input. Output
is deterministic: running this again rewrites the same files.
"""

import math
import shutil
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from vyre_tools.protocol import (  # noqa: E402  (pure Python, nothing of the C++ core)
    COMMAND_HEADER,
    DATA_HEADER,
    MOCK_HEADER,
    RESPONSE_HEADER,
    build_frame as frame,
)

BOUND = 256  # the framer's largest accepted payload


def telemetry(t: float, accel=(0.0, 0.0, 1.0), quat=(1.0, 0.0, 0.0, 0.0), velocity=0.0) -> bytes:
    fields = [21.5, 101325.0, *accel, 0.5, -0.25, 0.125, 20.0, -5.0, 40.0, 12.0, velocity, *quat]
    return struct.pack("<d17f", t, *fields)


def tilted(t: float) -> bytes:
    half = math.radians(30) / 2
    return telemetry(
        t, accel=(0.1, -0.7, 0.7), quat=(math.cos(half), math.sin(half), 0.0, 0.0), velocity=340.0
    )


def device_info() -> bytes:
    return struct.pack("<Q", 0x0123456789ABCDEF) + b"1.2.0\0\0\0"


def device_config(name: bytes, protocol: int) -> bytes:
    return name.ljust(32, b"\0")[:32] + struct.pack("<HB", 100, protocol)


def calibration() -> bytes:
    return struct.pack("<36f", *range(36))


RESPONSES = {
    1: device_info(),
    2: device_config(b"rocket", 2),
    3: b"\x01",
    4: b"",
    5: b"\x01",
    6: b"\x00",
    7: b"\x02",
    8: calibration(),
    255: b"\x01",
}
KNOWN_IDS = [1, 2, 3, 4, 5, 6, 7, 8, 255]


def stream_seeds():
    """Raw device streams for the framer."""
    tele = [frame(DATA_HEADER, 0, telemetry(i * 0.01)) for i in range(4)]
    responses = {i: frame(RESPONSE_HEADER, i, p) for i, p in RESPONSES.items()}
    corrupt = bytearray(tele[1])
    corrupt[30] ^= 0x04
    yield "telemetry", tele[0]
    yield "telemetry_tilted", frame(DATA_HEADER, 0, tilted(1.0))
    for i, r in responses.items():
        yield f"response_{i}", r
    yield "mixed", tele[0] + responses[3] + tele[1] + responses[1] + tele[2]
    yield "noise_and_corrupt", b"\x00\x5a\x5a\xa5\xa5\xff\x5a" + bytes(corrupt) + tele[2] + b"\x12\x34"
    yield "bad_crc_then_good", responses[5][:-1] + b"\x00" + responses[5]
    yield "implausible_length", struct.pack("<HHI", DATA_HEADER, 0, 0xFFFFFFFF) + tele[0] + tele[1]
    yield "just_over_bound", struct.pack("<HHI", RESPONSE_HEADER, 3, BOUND + 1) + responses[3]
    yield "waiting_candidate", struct.pack("<HHI", DATA_HEADER, 0, 100) + tele[3] + bytes(16)
    yield "host_frames", frame(COMMAND_HEADER, 1, b"") + frame(MOCK_HEADER, 0x41, bytes(10)) + tele[0]
    yield "nested", frame(RESPONSE_HEADER, 3, b"\x01" + tele[0]) + frame(RESPONSE_HEADER, 9, tele[1])
    yield (
        "short_payloads",
        frame(DATA_HEADER, 0, telemetry(0)[:75]) + frame(RESPONSE_HEADER, 1, bytes(15)) + tele[0],
    )
    yield "at_bound", frame(DATA_HEADER, 0, telemetry(8).ljust(BOUND, b"\0"))
    yield "split_header_byte", tele[0][:1]


def recipe_seeds():
    """Recipes for the framer's stream builder (mode bit 0 set)."""
    sample = telemetry(2.0)
    seed = struct.pack("<I", 0x9E3779B9)
    telemetry_op = bytes([1, 0, 0, 0]) + sample  # any identifier, typical length
    info_op = bytes([2, 0, 0]) + device_info()  # selector 0 -> identifier 1, typical length
    ack_op = bytes([2, 2, 0, 1])  # identifier 3
    noise_op = bytes([8, 6]) + b"\x5a\xa5\x01\x02\x5a\x00"  # defused noise
    head_op = bytes([13, 0, 0]) + struct.pack("<I", 0x12345)  # implausible length, defused
    corrupt_op = bytes([11, 0, 0, 0]) + sample + b"\x40\x01"  # telemetry, one bit flipped
    cut_op = bytes([14, 0, 0, 0]) + sample + b"\x21\x00"  # telemetry cut after 33 bytes
    # response 3 holding a telemetry frame and an acknowledgement
    nested_op = bytes([7, 2, 0xAA, 0xBB, 1, 1, 0, 0, 0]) + sample + bytes([0, 2, 0, 1, 0, 2])
    host_op = bytes([12, 1, 0, 3, 0, 1, 2, 3])  # command 1 with payload 01 02 03
    # payloads one past and right at the bound: 160 bytes from the recipe, the rest from the filler
    over_bound_op = bytes([1, 0, 0, 227]) + sample.ljust(160, b"\0")
    at_bound_op = bytes([1, 0, 0, 226]) + sample.ljust(160, b"\0")
    yield "recipe_clean", seed + telemetry_op + info_op + noise_op + head_op + ack_op + telemetry_op
    yield "recipe_damaged", seed + corrupt_op + telemetry_op + cut_op + nested_op + host_op + ack_op
    yield "recipe_at_bound", seed + over_bound_op + ack_op + at_bound_op + telemetry_op


def frame_seeds():
    """Single frames and near-frames for the frame decoder."""
    yield "empty_payload", frame(RESPONSE_HEADER, 4, b"")
    yield "ack", bytes.fromhex("A55A030001000000010FEB")
    yield "telemetry", frame(DATA_HEADER, 0, telemetry(3.0))
    yield "command", frame(COMMAND_HEADER, 3, device_config(b"rocket", 2))
    yield "mock", frame(MOCK_HEADER, 0x41, bytes.fromhex("10000000010203040506"))
    yield "nine_bytes", frame(RESPONSE_HEADER, 3, b"")[:9]
    yield "trailing_byte", frame(RESPONSE_HEADER, 3, b"\x01") + b"\x00"
    yield "unknown_header", struct.pack("<HHI", 0x1234, 0, 99) + b"\x00\x00"
    bad = bytearray(frame(RESPONSE_HEADER, 2, device_config(b"name", 1)))
    bad[12] ^= 0x10
    yield "bad_crc", bytes(bad)


def response_seeds():
    """Selector byte (index of the identifier) and payload for the response decoder."""
    for index, identifier in enumerate(KNOWN_IDS):
        yield f"id_{identifier}", bytes([index]) + RESPONSES[identifier]
    yield "info_eight_char_version", bytes([0]) + struct.pack("<Q", 7) + b"10.20.30"
    yield "info_short", bytes([0]) + device_info()[:15]
    yield "config_utf8", bytes([1]) + device_config("höhe-Ω-🚀".encode(), 4)
    yield "config_broken_utf8", bytes([1]) + device_config(b"a\xe0\x80b\xed\xa0\x80c\xf4\x90\x80\x80d\xc3", 9)
    yield "config_full_name", bytes([1]) + device_config(b"N" * 32, 3)
    yield "calibration_short", bytes([7]) + calibration()[:143]
    yield "ack_empty", bytes([2])
    yield "unknown_identifier", bytes([240]) + struct.pack("<H", 9) + b"\x01"


def record(kind: str, timestamp: int, data: bytes = b"") -> bytes:
    size = {"A": 6, "B": 6, "M": 7, "I": 15}[kind]
    return kind.encode() + struct.pack("<I", timestamp & 0xFFFFFFFF) + data.ljust(size, b"\x5c")[:size]


def log_seeds():
    """Bodies after the header block, raw (mode 0) and as builder recipes (mode 1)."""
    a = record("A", 0x10, bytes(range(1, 7)))
    yield "records", a + record("B", 168_000 + 0x10) + record("M", 336_000) + record("I", 504_000)
    yield "padding_20", a + bytes(20) + record("I", 1000)
    yield "end_marker_21", a + bytes(21) + record("I", 1000) + record("A", 2000)
    yield "stray_bytes", b"H" + a + b"\xff\x01" + record("M", 5)
    yield "wrap", record("A", 100) + record("B", 50)
    yield "cut_record", a + record("I", 99)[:13]


def log_recipe_seeds():
    """Recipes for the log builder: filler seed, then record / zeros / stray-byte ops."""
    ops = bytes([0, 0, 1, 0]) + bytes([0, 3, 0xA0, 0x86]) + bytes([1, 20]) + bytes([2, 0, 0x48])
    ops += bytes([12, 2]) + struct.pack("<I", 50) + bytes([1, 21]) + bytes([0, 1, 5, 0])
    yield "recipe", struct.pack("<I", 12345) + ops


def write(directory: Path, prefix: bytes, seeds) -> int:
    directory.mkdir(parents=True, exist_ok=True)
    count = 0
    for name, data in seeds:
        (directory / name).write_bytes(prefix + data)
        count += 1
    return count


def main() -> int:
    root = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent / "corpus"
    for target in ("data_parser", "framed_packet", "response", "log_parser"):
        shutil.rmtree(root / target, ignore_errors=True)
    # read-size seed, size class, mode
    whole = struct.pack("<IBB", 1, 7, 0)
    bytewise = struct.pack("<IBB", 7, 0, 2)
    odd = struct.pack("<IBB", 0xC0FFEE, 0x85, 4)
    n = write(root / "data_parser", whole, stream_seeds())
    n += write(root / "data_parser", b"", ((f"{name}_bytewise", bytewise + d) for name, d in stream_seeds()))
    n += write(root / "data_parser", b"", ((f"{name}_odd_reads", odd + d) for name, d in stream_seeds()))
    n += write(root / "data_parser", struct.pack("<IBB", 3, 4, 1), recipe_seeds())
    n += write(root / "framed_packet", b"", frame_seeds())
    n += write(root / "response", b"", response_seeds())
    n += write(root / "log_parser", struct.pack("<IBB", 5, 1, 0), log_seeds())
    n += write(
        root / "log_parser",
        b"",
        ((f"{name}_chunks", struct.pack("<IBB", 11, 2, 2) + d) for name, d in log_seeds()),
    )
    n += write(root / "log_parser", struct.pack("<IBB", 13, 3, 3), log_recipe_seeds())
    print(f"wrote {n} seeds under {root}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
