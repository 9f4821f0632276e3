"""The device's side of the serial protocol, independent of the library (its
frames come from the reference framer) so tests can state exact bytes:
frames, responses and telemetry."""

import struct

from reference_framer import frame

DATA_HEADER = 0xA55A
RESPONSE_HEADER = 0x5AA5
COMMAND_HEADER = 0xB66B

# identifiers shared by commands and their responses
DEVICE_INFO = 1
DEVICE_CONFIG = 2
SET_DEVICE_CONFIG = 3
REBOOT = 4
ENTER_MOCK_MODE = 5
SET_MAGNETOMETER_CALIBRATION = 6
SET_IMU_CALIBRATION = 7
GET_CALIBRATION = 8
CANCEL = 255


def command(identifier: int, payload: bytes = b"") -> bytes:
    return frame(COMMAND_HEADER, identifier, payload)


def response(identifier: int, payload: bytes = b"") -> bytes:
    return frame(RESPONSE_HEADER, identifier, payload)


def f32s(values) -> bytes:
    return struct.pack(f"<{len(values)}f", *values)


def device_info_payload(device_id: int, firmware: bytes) -> bytes:
    return struct.pack("<Q", device_id) + firmware.ljust(8, b"\0")


def device_config_payload(name: bytes, frequency: int, protocol: int) -> bytes:
    return name.ljust(32, b"\0") + struct.pack("<HB", frequency, protocol)


def set_device_config_payload(name: bytes, frequency: int, protocol: int) -> bytes:
    return name[:32].ljust(32, b"\0") + struct.pack("<HB", frequency, protocol)


# the telemetry payload's values in order, named as the packet constructor takes them
TELEMETRY_FIELDS = [
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
]


def telemetry_payload(values) -> bytes:
    return struct.pack("<d17f", *values)


def telemetry(values) -> bytes:
    return frame(DATA_HEADER, 0, telemetry_payload(values))
