"""What the device keeps (identity, settings, calibration) and how it
answers each command.  Effects beyond its own state (telemetry rate, reboot,
calibration of the readings) go through the simulator it is given."""

import collections
import struct
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Protocol

from .. import protocol as p
from .mockmode import MockRecorder
from .motion import IDENTITY

# Payload length of each command the device understands.
COMMAND_PAYLOAD = {
    p.CMD_DEVICE_INFO: 0,
    p.CMD_DEVICE_CONFIG: 0,
    p.CMD_SET_DEVICE_CONFIG: 35,
    p.CMD_REBOOT: 0,
    p.CMD_MOCK_MODE: 0,
    p.CMD_SET_MAG_CALIBRATION: 48,
    p.CMD_SET_IMU_CALIBRATION: 96,
    p.CMD_GET_CALIBRATION: 0,
    p.CMD_CANCEL: 0,
}

ACK, NACK = b"\x01", b"\x00"
_NEUTRAL = struct.pack("<12f", 0.0, 0.0, 0.0, *IDENTITY)


class DeviceEffects(Protocol):
    """What the firmware changes beyond its own state."""

    def set_frequency(self, frequency: float, now: float) -> None: ...

    def reboot(self, now: float) -> None: ...

    def set_mag_calibration(self, offsets: Sequence[float], matrix: Sequence[float]) -> None: ...

    def set_imu_calibration(self, values: Sequence[float], now: float) -> None: ...


class Firmware:
    def __init__(self, opts: Mapping[str, Any], mock: MockRecorder, device: DeviceEffects) -> None:
        self.mock = mock
        self.device = device
        self.silent: bool = opts["silent"]
        self.device_id: int = opts["device_id"]
        self.firmware: bytes = opts["firmware"].encode()[:8].ljust(8, b"\0")
        self.name_field: bytes = opts["name"].encode()[:32].ljust(32, b"\0")
        self.protocol: int = opts["protocol"]
        self.frequency = min(65535, int(round(opts["rate"])))
        # calibrations as written: returned bit for bit
        self.imu_cal: bytes = _NEUTRAL + _NEUTRAL
        self.mag_cal: bytes = _NEUTRAL
        self._handlers: dict[int, Callable[[bytes, float], bytes | None]] = {
            p.CMD_DEVICE_INFO: self._device_info,
            p.CMD_DEVICE_CONFIG: self._device_config,
            p.CMD_SET_DEVICE_CONFIG: self._set_device_config,
            p.CMD_REBOOT: self._reboot,
            p.CMD_MOCK_MODE: self._mock_mode,
            p.CMD_SET_MAG_CALIBRATION: self._set_mag_calibration,
            p.CMD_SET_IMU_CALIBRATION: self._set_imu_calibration,
            p.CMD_GET_CALIBRATION: self._get_calibration,
            p.CMD_CANCEL: self._cancel,
        }
        self.reset_counters()

    def reset_counters(self) -> None:
        self.by_id: collections.Counter[int] = collections.Counter()
        self.unknown = 0
        self.malformed = 0
        self.ignored = 0
        self.reboots = 0

    def stats(self) -> dict[str, Any]:
        mag = struct.unpack("<12f", self.mag_cal)
        imu = struct.unpack("<24f", self.imu_cal)
        return {
            "commands_by_id": {str(k): v for k, v in sorted(self.by_id.items())},
            "unknown_commands": self.unknown,
            "malformed_commands": self.malformed,
            "commands_ignored": self.ignored,
            "reboots": self.reboots,
            "silent": self.silent,
            "device_id": self.device_id,
            "firmware": self.firmware.rstrip(b"\0").decode(errors="replace"),
            "name": self.name_field.split(b"\0", 1)[0].decode(errors="replace"),
            "frequency": self.frequency,
            "protocol": self.protocol,
            "imu_calibration": {
                "accel_offsets": list(imu[0:3]),
                "accel_matrix": list(imu[3:12]),
                "gyro_offsets": list(imu[12:15]),
                "gyro_matrix": list(imu[15:24]),
            },
            "mag_calibration": {"offsets": list(mag[0:3]), "matrix": list(mag[3:12])},
        }

    def command(self, ident: int, payload: bytes, now: float) -> bytes | None:
        """The response payload for a command, or None for no answer."""
        self.by_id[ident] += 1
        want = COMMAND_PAYLOAD.get(ident)
        if want is None:
            self.unknown += 1
            return None
        if len(payload) != want:
            self.malformed += 1
            return None
        if self.silent:
            self.ignored += 1
            return None
        return self._handlers[ident](payload, now)

    def _device_info(self, payload: bytes, now: float) -> bytes:
        return struct.pack("<Q", self.device_id) + self.firmware

    def _device_config(self, payload: bytes, now: float) -> bytes:
        return self.name_field + struct.pack("<HB", self.frequency, self.protocol)

    def _set_device_config(self, payload: bytes, now: float) -> bytes:
        freq, proto = struct.unpack_from("<HB", payload, 32)
        # refuse what the device cannot do rather than half-apply it
        if not 1 <= proto <= 4 or freq > p.LINK_FRAME_RATE:
            return NACK
        self.name_field = bytes(payload[:32])
        self.protocol = proto
        self.frequency = freq
        self.device.set_frequency(freq, now)
        return ACK

    def _reboot(self, payload: bytes, now: float) -> None:
        self.reboots += 1
        self.mock.leave()
        self.device.reboot(now)
        return None

    def _mock_mode(self, payload: bytes, now: float) -> bytes:
        self.mock.enter()
        return ACK

    def _set_mag_calibration(self, payload: bytes, now: float) -> bytes:
        self.mag_cal = bytes(payload)
        vals = struct.unpack("<12f", payload)
        self.device.set_mag_calibration(vals[0:3], vals[3:12])
        return ACK

    def _set_imu_calibration(self, payload: bytes, now: float) -> bytes:
        self.imu_cal = bytes(payload)
        self.device.set_imu_calibration(struct.unpack("<24f", payload), now)
        return ACK

    def _get_calibration(self, payload: bytes, now: float) -> bytes:
        return self.imu_cal + self.mag_cal

    def _cancel(self, payload: bytes, now: float) -> bytes:
        self.mock.leave()
        return ACK
