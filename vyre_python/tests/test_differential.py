"""The library against an independent reference framer (reference_framer.py):
the same random byte streams (frames, noise, corrupt frames, false headers,
frames nested in payloads, host-to-device frames, oversize length fields)
go to a pseudo-terminal read by a started client and to the reference, and
both must agree packet for packet, bit for bit, and response for response."""

import math
import os
import random
import select
import struct

import numpy as np
import pytest

import reference_framer as ref
from reference_framer import frame
from harness import eventually
from vyre_client import DeviceProtocol, VYREClient, VYREDataPacket

COMMAND_HEADER, MOCK_HEADER = 0xB66B, 0x6BB6
CLEAN = bytes(b for b in range(256) if b not in (0x5A, 0xA5))  # never starts a header
SEEDS = [1, 2, 3, 4, 5, 6]


# ------------------------------------------------------------ random values

SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, 1e-45, -1e-40, 3.4028234e38, 1e-20, 1e20]


def f32_bits(rng):
    return struct.unpack("<f", struct.pack("<I", rng.getrandbits(32)))[0]


def value(rng, scale):
    pick = rng.random()
    if pick < 0.03:
        return rng.choice(SPECIAL)
    if pick < 0.06:
        return f32_bits(rng)
    return float(np.float32(rng.uniform(-scale, scale)))


def quaternion(rng):
    pick = rng.random()
    if pick < 0.05:
        return [0.0, 0.0, 0.0, rng.choice([0.0, 1e-8])]  # no usable attitude
    if pick < 0.1:
        return [value(rng, 1.0) for _ in range(4)]
    q = [rng.gauss(0, 1) for _ in range(4)]
    n = math.sqrt(sum(c * c for c in q)) * (1.0 if rng.random() < 0.7 else rng.uniform(0.3, 3.0))
    return [float(np.float32(c / n)) for c in q]


def sample(rng):
    """18 wire values, mostly physical, sometimes anything a float can hold."""
    timestamp = rng.choice(
        [rng.uniform(0, 1e5), math.nan, -0.0, struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]]
    )
    accel = [value(rng, 2.0) for _ in range(3)]
    if rng.random() < 0.3:
        accel[rng.randrange(3)] = rng.choice([1.0, -1.0])
    return (
        [timestamp, value(rng, 120.0) - 60.0 if rng.random() < 0.9 else value(rng, 400.0), value(rng, 1.1e5)]
        + accel
        + [value(rng, 500.0) for _ in range(6)]
        + [value(rng, 1e4), value(rng, 700.0)]
        + quaternion(rng)
    )


def telemetry_payload(rng, extra=0):
    return struct.pack("<d17f", *sample(rng)) + rng.randbytes(extra)


# ------------------------------------------------------------ random frames


def response_payload(rng, identifier):
    if identifier == 1:
        firmware = rng.choice([b"1.2.0", b"12345678", b"\xff\xfe1.0", b"v\xc3", b"\xe2\x82\xac9"])
        return (
            struct.pack("<Q", rng.getrandbits(64))
            + firmware.ljust(8, b"\0")[:8]
            + rng.randbytes(rng.choice([0, 0, 5]))
        )
    if identifier == 2:
        name = rng.choice([b"rocket", b"x" * 32, b"\xc3\xa9" * 16, b"a\xc3", b"", rng.randbytes(32)])
        return name.ljust(32, b"\0")[:32] + struct.pack("<HB", rng.getrandbits(16), rng.randrange(10))
    if identifier == 8:
        return b"".join(struct.pack("<f", value(rng, 10.0)) for _ in range(36))
    if identifier == 4:
        return rng.randbytes(rng.randrange(4))
    return rng.choice([b"\x01", b"\x00", b"", b"\x02", b"\x01\x00", b"\x00\x01"])


def valid_response(rng):
    identifier = rng.choice(sorted(ref.RESPONSE_IDS))
    payload = response_payload(rng, identifier)
    if identifier in ref.MIN_PAYLOAD and rng.random() < 0.1:
        payload = payload[: rng.randrange(ref.MIN_PAYLOAD[identifier])]  # too short to answer
    return frame(ref.RESPONSE_HEADER, identifier, payload)


def valid_frame(rng):
    if rng.random() < 0.6:
        return frame(ref.DATA_HEADER, rng.getrandbits(16), telemetry_payload(rng, rng.choice([0, 0, 0, 9])))
    return valid_response(rng)


def nested(rng, length=None):
    """A payload holding a whole valid frame between random bytes."""
    inner = valid_frame(rng)
    before = rng.randbytes(rng.randrange(8))
    body = before + inner + rng.randbytes(rng.randrange(8))
    if length is not None:
        body = (body + rng.randbytes(max(0, length - len(body))))[:length]
    return body


def false_header(rng):
    pair = rng.choice([b"\x5a\xa5", b"\xa5\x5a"])
    length = rng.choice([rng.randrange(ref.MAX_PAYLOAD + 1), rng.randrange(100)])
    return pair + rng.randbytes(2) + struct.pack("<I", length) + rng.randbytes(rng.randrange(40))


def corrupt(rng):
    data = bytearray(rng.choice([valid_frame(rng), frame(ref.RESPONSE_HEADER, 1, nested(rng, 20))]))
    data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    return bytes(data)


def oversize(rng):
    pair = rng.choice([ref.DATA_HEADER, ref.RESPONSE_HEADER])
    if rng.random() < 0.1:
        # CRC-valid but one byte over the bound: its nested frame must still be found
        return frame(pair, 2, nested(rng, ref.MAX_PAYLOAD + 1))
    length = rng.choice([ref.MAX_PAYLOAD + 1, 65536, 1 << 31, (1 << 32) - 1])
    return struct.pack("<HHI", pair, 1, length) + rng.randbytes(rng.randrange(20))


PIECES = [
    (30, lambda rng: valid_frame(rng)),
    (8, lambda rng: rng.randbytes(rng.randrange(1, 60))),
    (6, corrupt),
    (5, false_header),
    (4, oversize),
    (3, lambda rng: frame(rng.choice([COMMAND_HEADER, MOCK_HEADER]), 1, nested(rng))),
    (3, lambda rng: frame(ref.RESPONSE_HEADER, rng.choice([0, 9, 254, 256, 0xFFFF]), nested(rng))),
    (2, lambda rng: frame(ref.DATA_HEADER, 0, nested(rng, rng.randrange(30, ref.TELEMETRY_SIZE)))),
    (1, lambda rng: frame(ref.RESPONSE_HEADER, 4, nested(rng, ref.MAX_PAYLOAD))),
    (1, lambda rng: frame(ref.DATA_HEADER, 7, telemetry_payload(rng, ref.MAX_PAYLOAD - 76))),
]


def random_stream(rng, pieces):
    makers = [maker for weight, maker in PIECES for _ in range(weight)]
    stream = b"".join(rng.choice(makers)(rng) for _ in range(pieces))
    # every kind of acknowledgement ends on a positive one, so a lost answer cannot hide
    # behind the false a claim gives when nothing is pending
    return stream + b"".join(frame(ref.RESPONSE_HEADER, i, b"\x01") for i in sorted(ref.ACK_IDS))


def settled(tag):
    """Quiet bytes that let every pending candidate fail, then two marker packets a
    read apart: once the second is delivered, everything before it has been."""
    first, second = (struct.pack("<d17f", t, *([0.0] * 13), 1.0, 0.0, 0.0, 0.0) for t in (tag, tag / 2))
    quiet = bytes(random.Random(tag).choice(CLEAN) for _ in range(ref.MAX_PAYLOAD + 200))
    return (
        quiet + frame(ref.DATA_HEADER, 0, first) + quiet[:1100] + frame(ref.DATA_HEADER, 0, second)
    ), tag / 2


# ------------------------------------------------------------ observing the library


def field_bits(values):
    """Each of the 23 values as its wire bytes: the timestamp as f64, the rest as f32."""
    return [struct.pack("<d", float(values[0]))] + [struct.pack("<f", float(v)) for v in values[1:]]


def library_bits(packet):
    return field_bits([getattr(packet, name) for name in VYREDataPacket.__struct_fields__])


def f32_tuple_bits(groups):
    return tuple(b"".join(struct.pack("<f", float(v)) for v in group) for group in groups)


def comparable(response):
    if response.identifier == 8:
        return f32_tuple_bits(response.value)
    return response.value


class Link:
    """A started client on a pseudo-terminal whose device side this test writes."""

    def __init__(self, pty_device, log_path):
        self.device = pty_device
        self.client = VYREClient(pty_device.path)
        self.client.start()
        self.log_path = str(log_path)
        self.packets = []

    def send_and_settle(self, data, tag):
        stream, last = settled(tag)
        self.device.write(data + stream)
        assert eventually(lambda: self._take() and self.packets[-1].timestamp_seconds == last, within=120), (
            f"the stream did not get through ({len(self.packets)} packets so far)"
        )
        return data + stream

    def _take(self):
        # commands queued by earlier claims may still be on their way out: keep the
        # terminal drained, or the reader waits for room instead of reading
        self._drain()
        self.packets += self.client.get_data_packets()
        return bool(self.packets)

    def _drain(self):
        # what the client writes (our claims' command frames) must not fill the terminal
        while select.select([self.device.master], [], [], 0)[0]:
            os.read(self.device.master, 65536)

    def claim(self, identifier):
        """The next pending answer of this kind as the library returns it, or None/False."""
        c = self.client
        if identifier == 1:
            info = c.get_device_info(0)
            result = None if info is None else (info.id, info.firmware_version)
        elif identifier == 2:
            config = c.get_device_config(0)
            result = None if config is None else (config.name, config.frequency, int(config.protocol))
        elif identifier == 8:
            cal = c.get_calibration(0)
            result = (
                None
                if cal is None
                else f32_tuple_bits(
                    [
                        cal.imu_accelerometer_offsets,
                        cal.imu_accelerometer_scale_matrix,
                        cal.imu_gyroscope_offsets,
                        cal.imu_gyroscope_scale_matrix,
                        cal.magnetometer_offsets,
                        cal.magnetometer_scale_matrix,
                    ]
                )
            )
        elif identifier == 3:
            result = c.set_device_config("x", 1, DeviceProtocol.USB, 0)
        elif identifier == 6:
            result = c.set_magnetometer_calibration([0] * 3, [0] * 9, 0)
        elif identifier == 7:
            result = c.set_imu_calibration([0] * 3, [0] * 9, [0] * 3, [0] * 9, 0)
        elif identifier == 255:
            result = c.cancel(0)
        else:
            result = self._claim_mock_mode()
        self._drain()
        return result

    def _claim_mock_mode(self):
        # the handshake is the only call that takes this answer: True starts a stream of
        # an empty log, False is refused, and none left times out at once
        try:
            self.client.start_mock_log_stream(
                self.log_path, realtime=False, start_timeout_seconds=0, cancel_on_finish=False
            )
        except OSError as error:
            if str(error) == "Device rejected mock mode":
                return False
            assert str(error) == "Timed out waiting for mock acknowledgement"
            return None
        assert self.client.stop_mock_log_stream(cancel_device=False, block=True) == 0
        return True


def claims_until_empty(link, identifier):
    got = []
    while (result := link.claim(identifier)) is not None:
        got.append(result)
        assert len(got) < 10_000
    return got


def assert_same_packets(library, reference):
    assert len(library) == len(reference)
    names = VYREDataPacket.__struct_fields__
    for index, (packet, expected) in enumerate(zip(library, reference)):
        got, want = library_bits(packet), field_bits(expected)
        if got != want:
            differing = [name for name, a, b in zip(names, got, want) if a != b]
            pytest.fail(
                f"packet {index} differs in {differing}: library {packet.as_dict()}, "
                f"reference {dict(zip(names, map(float, expected)))}"
            )


@pytest.fixture
def empty_log(tmp_path):
    path = tmp_path / "empty.log"
    path.write_bytes(bytes(286))  # the header block and no record
    return path


@pytest.mark.parametrize("seed", SEEDS)
def test_library_and_reference_agree_on_random_streams(pty_device, empty_log, seed):
    rng = random.Random(seed)
    reference = ref.Framer()
    link = Link(pty_device, empty_log)
    try:
        reference.feed(link.send_and_settle(random_stream(rng, 2500), -1e300))
        assert_same_packets(link.packets, reference.packets)
        assert len(reference.packets) > 500 and len(reference.responses) > 150  # the stream did carry both

        expected = {
            i: [comparable(r) for r in reference.responses if r.identifier == i]
            for i in ref.RESPONSE_IDS - {4}
        }
        for identifier in sorted(ref.RESPONSE_IDS - ref.ACK_IDS - {4}):
            assert claims_until_empty(link, identifier) == expected[identifier], identifier
        for identifier in sorted(ref.ACK_IDS):
            # a claim with nothing pending looks like a refusal; the streams end on a
            # positive answer of each kind, so a missing answer still shows
            got = [link.claim(identifier) for _ in expected[identifier]]
            assert got == expected[identifier], identifier

        # nothing beyond: one more positive answer of each kind is the next one claimed
        extra = b"".join(frame(ref.RESPONSE_HEADER, i, b"\x01") for i in sorted(ref.ACK_IDS))
        reference.feed(link.send_and_settle(extra, -2e300))
        for identifier in sorted(ref.ACK_IDS):
            assert link.claim(identifier) is True, identifier
            assert link.claim(identifier) in (False, None), identifier
        assert_same_packets(link.packets, reference.packets)
        link.client.ensure_ok()
    finally:
        link.client.stop()


def test_derived_values_of_any_sample_agree_with_the_reference():
    # VYREDataPacket derives with a fresh up axis per packet: the first-sample rule every time
    rng = random.Random(99)
    for _ in range(5000):
        values = sample(rng)
        fields = [values[0]] + [np.float32(v) for v in values[1:]]
        expected = fields[:6] + [None] * 4 + fields[6:14] + [None] + fields[14:]
        derived = ref.derive(fields, ref.UpAxis())
        expected[6:10], expected[18] = derived[:4], derived[4]
        assert library_bits(VYREDataPacket(*values)) == field_bits(expected), values


@pytest.mark.parametrize(
    "data, crc",
    [(b"123456789", 0x2189), (b"abc", 0x58E9), (bytes.fromhex("6bb6010000000000"), 0x78DC), (b"", 0)],
)
def test_reference_crc_is_kermit(data, crc):
    assert ref.crc16_kermit(data) == ref.crc16_kermit_bitwise(data) == crc
    noise = random.Random(crc).randbytes(300)
    assert ref.crc16_kermit(noise) == ref.crc16_kermit_bitwise(noise)
