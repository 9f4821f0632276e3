"""The peer of the benchmarks must decode what the library decodes, or the
comparison means nothing."""

import math
import os
import random
import struct
import time
import tty

import pytest

import peer
from vyre_tools import protocol

vyre_client = pytest.importorskip("vyre_client")
VYREDataPacket = vyre_client.VYREDataPacket
FIELDS = VYREDataPacket.__struct_fields__
WIRE = FIELDS[:6] + FIELDS[10:18] + FIELDS[19:]
DERIVED = tuple(f for f in FIELDS if f not in WIRE)

F32_MAX = 3.4028234663852886e38
SPECIALS = (
    math.nan,
    math.inf,
    -math.inf,
    0.0,
    -0.0,
    F32_MAX,
    -F32_MAX,
    1.401298464324817e-45,
    1.0,
    -1.0,
    1e-30,
)


def f32(v):
    return struct.unpack("<f", struct.pack("<f", v))[0]


def same(a, b):
    """Equal to the bit, sign of zero included; any NaN matches any NaN."""
    if a != a or b != b:
        return a != a and b != b
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def unit_quaternion(rng):
    q = [rng.gauss(0, 1) for _ in range(4)]
    n = math.sqrt(sum(v * v for v in q))
    return [f32(v / n) for v in q]


def sample(rng, kind):
    """18 wire values: a moving device, wide magnitudes, or special values."""
    ts = rng.uniform(0, 1e4)
    if kind == "device":
        g = unit_quaternion(rng)[:3]
        rest = (
            [f32(rng.uniform(-40, 60)), f32(rng.uniform(9e4, 1.1e5))]
            + g
            + [f32(rng.gauss(0, 100)) for _ in range(8)]
            + unit_quaternion(rng)
        )
        rest[12] = f32(rng.uniform(-400, 400))  # vertical velocity up to Mach 1.2
        return [ts] + rest
    if kind == "wide":
        return [ts] + [f32(rng.choice((-1, 1)) * 10.0 ** rng.uniform(-40, 38)) for _ in range(17)]
    values = [ts] + [f32(rng.gauss(0, 2)) for _ in range(13)] + unit_quaternion(rng)
    for _ in range(rng.randint(1, 3)):
        values[rng.randint(1, 17)] = f32(rng.choice(SPECIALS))
    if rng.random() < 0.2:
        values[14:18] = [0.0, 0.0, 0.0, 0.0]
    return values


@pytest.mark.parametrize("kind", ["device", "wide", "special"])
def test_single_precision_derivation_matches_the_library_to_the_bit(kind):
    rng = random.Random(kind)
    for _ in range(3000):
        values = sample(rng, kind)
        expected = VYREDataPacket(*values)
        got = peer.derive32(values, peer.UNDETERMINED)[:5]
        for name, value in zip(DERIVED, got):
            assert same(value, getattr(expected, name)), (name, values)


def test_double_precision_derivation_stays_within_its_documented_error():
    rng = random.Random(7)
    for _ in range(3000):
        values = sample(rng, "device")
        expected = VYREDataPacket(*values)
        rx, ry, rz, tilt, mach, _ = peer.derive64(values, peer.UNDETERMINED)
        for name, value in zip(DERIVED[:3], (rx, ry, rz)):
            assert value == pytest.approx(getattr(expected, name), abs=1e-5), name
        assert tilt == pytest.approx(expected.est_tilt_angle_degrees, abs=0.03)
        assert mach == pytest.approx(expected.est_mach_number, rel=1e-5, abs=1e-9)


def telemetry(values, extra=b""):
    return protocol.build_frame(protocol.DATA_HEADER, 0, protocol.TELEMETRY.pack(*values) + extra)


def make_stream(seed, frames=1500):
    """A stream with every kind of damage the framer must live through, and
    the wire values of the telemetry frames that must come out of it."""
    rng = random.Random(seed)
    out, good = [], []

    def keep(values, extra=b""):
        out.append(telemetry(values, extra))
        good.append(values)

    # samples with a NaN do not fix the up axis; the next one fixes -Y
    for _ in range(3):
        keep([0.0, 20.0, 1e5, math.nan, 0.0, 1.0] + [0.0] * 8 + [1.0, 0.0, 0.0, 0.0])
    k = f32(math.sqrt(0.5))
    keep([0.0, 20.0, 1e5, -k, -k, 0.0] + [0.0] * 8 + [1.0, 0.0, 0.0, 0.0])
    for _ in range(frames):
        r = rng.random()
        if r < 0.70:
            keep(sample(rng, rng.choice(("device", "device", "wide", "special"))))
        elif r < 0.75:
            noise = bytearray(rng.randbytes(rng.randint(1, 40)))
            if rng.random() < 0.5:
                i = rng.randrange(len(noise))
                noise[i : i + 2] = rng.choice((b"\x5a\xa5", b"\xa5\x5a"))
            out.append(bytes(noise))
        elif r < 0.80:
            frame = bytearray(telemetry(sample(rng, "device")))
            bit = rng.randrange(16, len(frame) * 8)  # the header stays a header
            frame[bit // 8] ^= 1 << (bit % 8)
            out.append(bytes(frame))
        elif r < 0.84:
            out.append(protocol.build_frame(protocol.RESPONSE_HEADER, 1, rng.randbytes(16)))
        elif r < 0.87:
            # an unknown response, and a frame with a bad CRC, each wrapping a
            # good frame: the scan resumes inside them and finds it
            values = sample(rng, "device")
            good.append(values)
            if rng.random() < 0.5:
                out.append(protocol.build_frame(protocol.RESPONSE_HEADER, 9, telemetry(values)))
            else:
                frame = bytearray(protocol.build_frame(protocol.DATA_HEADER, 0, telemetry(values)))
                frame[-1] ^= 0x40
                out.append(bytes(frame))
        elif r < 0.90:
            out.append(protocol.build_frame(protocol.DATA_HEADER, 0, rng.randbytes(40)))
        elif r < 0.93:
            keep(sample(rng, "device"), extra=rng.randbytes(4))
        elif r < 0.95:
            out.append(struct.pack("<HHI", protocol.DATA_HEADER, 0, 5000) + rng.randbytes(20))
        elif r < 0.97:
            out.append(protocol.build_frame(protocol.COMMAND_HEADER, 1, b""))
        else:
            # a header with a short length in front of good frames: it holds the
            # scan until its CRC fails, then the frames behind it come out
            out.append(struct.pack("<HHI", protocol.DATA_HEADER, 0, 30))
    for _ in range(60):  # more than any candidate above can hold back
        keep(sample(rng, "device"))
    # a length past any real frame is noise at once: what follows is not held back
    out.append(struct.pack("<HHI", protocol.DATA_HEADER, 0, 4097))
    for _ in range(30):
        keep(sample(rng, "device"))
    return b"".join(out), good


def chunked(data, rng, largest):
    i = 0
    while i < len(data):
        n = rng.randint(1, largest)
        yield data[i : i + n]
        i += n


def feed(framer, pieces):
    packets = []
    for piece in pieces:
        packets += framer.feed(piece)
    return packets


@pytest.mark.parametrize("exact", [True, False])
def test_framer_finds_exactly_the_good_telemetry_however_the_stream_is_cut(exact):
    data, good = make_stream(11)
    whole = peer.Framer(exact).feed(data)
    assert len(whole) == len(good)
    for packet, values in zip(whole, good):
        assert all(same(getattr(packet, f), v) for f, v in zip(WIRE, values)), values
    for largest in (1, 7, 100, 5000):
        cut = feed(peer.Framer(exact), chunked(data, random.Random(largest), largest))
        assert len(cut) == len(whole)
        for a, b in zip(cut, whole):
            assert all(same(getattr(a, f), getattr(b, f)) for f in FIELDS)


def read_all(client, count, timeout=60.0):
    packets = []
    deadline = time.monotonic() + timeout
    while len(packets) < count and time.monotonic() < deadline:
        time.sleep(0.02)
        packets += client.get_data_packets()
    return packets


@pytest.mark.skipif(not hasattr(vyre_client, "VYREClient"), reason="needs the client class")
def test_peer_decodes_what_the_client_decodes_from_the_same_port():
    data, good = make_stream(12)
    expected = peer.Framer(exact=True).feed(data)
    assert len(expected) == len(good)
    master, slave = os.openpty()
    try:
        tty.setraw(master)
        client = vyre_client.VYREClient(os.ttyname(slave))
        client.start()
        try:
            rng = random.Random(5)
            for piece in chunked(data, rng, 3000):
                os.write(master, piece)
            packets = read_all(client, len(expected))
        finally:
            client.stop()
    finally:
        os.close(master)
        os.close(slave)
    assert len(packets) == len(expected)
    for got, want in zip(packets, expected):
        for name in FIELDS:
            assert same(getattr(got, name), getattr(want, name)), (name, got.as_dict())
