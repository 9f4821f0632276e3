import copy
import pickle
import struct

import pytest

import vyre_client
import wire
from vyre_client import DeviceProtocol

# quiet NaNs with payloads: they widen to double with their payload kept, so
# the attributes show whether a round trip kept the bits
NAN_F32 = struct.unpack("<f", struct.pack("<I", 0x7FC12345))[0]
NAN_F64 = struct.unpack("<d", struct.pack("<Q", 0x7FF8DEADBEEF0001))[0]
SIGNALLING_NAN_F32 = struct.pack("<I", 0xFF800001)


def copies(value):
    """The value through every pickle protocol and both copy functions."""
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        yield pickle.loads(pickle.dumps(value, protocol))
    yield copy.copy(value)
    yield copy.deepcopy(value)


def bits(values):
    return [struct.pack("<d", v) if isinstance(v, float) else v for v in values]


def test_streamed_packet_keeps_its_bits_and_derived_values(client, pty_device):
    upright = [0.0] * 18
    upright[3] = 1.0  # acceleration along +X: the stream's up axis
    upright[14] = 1.0
    tilted = list(upright)
    tilted[0], tilted[2] = NAN_F64, 101325.0
    tilted[3], tilted[5] = 0.0, 1.0
    payload = bytearray(wire.telemetry_payload(tilted))
    payload[8:12] = struct.pack("<f", NAN_F32)  # temperature
    payload[12 + 4 * 4 : 12 + 5 * 4] = SIGNALLING_NAN_F32  # acceleration y
    pty_device.write(wire.telemetry(upright) + wire.frame(wire.DATA_HEADER, 0, bytes(payload)))
    packets = []
    while len(packets) < 2:
        packets += client.get_data_packets(block=True)
    packet = packets[1]
    assert packet.est_tilt_angle_degrees == pytest.approx(90.0)  # a fresh packet would read 0
    original = bits(packet.as_dict().values())
    for restored in copies(packet):
        assert bits(restored.as_dict().values()) == original
        assert pickle.dumps(restored) == pickle.dumps(packet)  # the single-precision bits too


def records(client):
    return [client.get_device_info(10.0), client.get_device_config(10.0), client.get_calibration(10.0)]


def test_records_round_trip_as_independent_equal_values(started):
    client, device = started
    calibration = bytearray(wire.f32s(range(36)))
    calibration[0:4] = struct.pack("<f", NAN_F32)
    calibration[4:8] = SIGNALLING_NAN_F32
    device.inject_response(wire.DEVICE_INFO, wire.device_info_payload(2**64 - 1, b"1.\xff"))
    device.inject_response(wire.DEVICE_CONFIG, wire.device_config_payload("höhe".encode(), 65535, 4))
    device.inject_response(wire.GET_CALIBRATION, bytes(calibration))
    for original in records(client):
        names = [n for n in dir(type(original)) if not n.startswith("_")]
        values = [getattr(original, n) for n in names]
        for restored in copies(original):
            assert type(restored) is type(original) and restored is not original
            assert pickle.dumps(restored) == pickle.dumps(original)
            assert [bits(v) if isinstance(v, list) else v for v in map(restored.__getattribute__, names)] == [
                bits(v) if isinstance(v, list) else v for v in values
            ]
    independent = copy.copy(original)  # the calibration values
    independent.magnetometer_offsets = (1, 2, 3)
    assert original.magnetometer_offsets == [24.0, 25.0, 26.0]


@pytest.mark.parametrize(
    "member", [DeviceProtocol.USB, DeviceProtocol.UART, DeviceProtocol.I2C, DeviceProtocol.SPI]
)
def test_protocol_members_load_as_the_class_members(member):
    for restored in copies(member):
        assert restored is member


@pytest.mark.parametrize("state", [b"", 3, (b"x",), (b"x", 1, 9)])
@pytest.mark.parametrize("name", ["VYREDataPacket", "DeviceInfo", "DeviceConfig", "CalibrationValues"])
def test_malformed_state_is_refused(name, state):
    with pytest.raises(ValueError):
        getattr(vyre_client, name)._restore(state)
