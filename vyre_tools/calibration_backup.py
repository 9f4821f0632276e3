"""Keep a device's calibrations safe: back them up, restore them, and never
let a magnetometer calibration run leave the device worse off.

``VYREClient.run_and_apply_magnetometer_calibration`` writes the neutral
calibration before it collects, so a run that fails, is interrupted or
fits badly leaves the device neutral, whatever good calibration it had.
Read the calibration first and put it back unless the new one is accepted::

    import vyre_client
    from vyre_tools.calibration_backup import MagnetometerRollback

    with vyre_client.VYREClient("/dev/ttyACM0") as client:
        with MagnetometerRollback(client) as rollback:    # reads the calibration now
            applied = client.run_and_apply_magnetometer_calibration(15.0)
            if applied and fit_is_good_enough():           # your own judgement
                rollback.accept()                          # keep the new calibration
        # not accepted, an exception, or Ctrl-C: the old calibration is back

How Ctrl-C reaches the run: the library's calls keep the interpreter lock
while they wait, but they run Python's signal handlers every ~50 ms, and a
handler that raises ends the wait with its exception.  With Python's default
handler one Ctrl-C therefore ends the collection with KeyboardInterrupt (a
handler that only takes note, and does not raise, lets the run go on to its
end).  The rollback then writes the old calibration back with Ctrl-C held
until the write is done, so a second Ctrl-C cannot cut the restore short; it
interrupts as usual once the calibration is back.  Should the restore itself
fail (the device gone), ``CalibrationNotRestored`` carries the backup: save
it with ``backup.save(path)`` and load it later.

``CalibrationBackup`` holds both calibrations a device has, the IMU's
(accelerometer offsets in g, gyroscope offsets in degrees/s) and the
magnetometer's (offsets in µT), each with its row-major 3×3 scale matrix,
and reads and writes them as JSON::

    backup = read_calibration(client)
    backup.save("bench-7.json")
    ...
    write_calibration(client, CalibrationBackup.load("bench-7.json"))

The numbers are the device's 32-bit floats; JSON keeps each exactly, so a
backup written back gives the device the very same bits.
"""

import contextlib
import datetime
import json
import math
import os
import signal
import threading
from dataclasses import dataclass, field

FORMAT = "vyre-calibration"
VERSION = 1
# JSON section -> (offsets attribute, matrix attribute) of CalibrationValues
SENSORS = {
    "accelerometer": ("imu_accelerometer_offsets", "imu_accelerometer_scale_matrix"),
    "gyroscope": ("imu_gyroscope_offsets", "imu_gyroscope_scale_matrix"),
    "magnetometer": ("magnetometer_offsets", "magnetometer_scale_matrix"),
}


class CalibrationNotRestored(OSError):
    """The device may be left with another calibration than it had; ``backup``
    holds the one to put back."""

    def __init__(self, message, backup):
        super().__init__(message)
        self.backup = backup


@dataclass
class SensorCalibration:
    offsets: list
    scale_matrix: list

    def as_json(self):
        return {"offsets": list(self.offsets), "scale_matrix": list(self.scale_matrix)}


@dataclass
class CalibrationBackup:
    accelerometer: SensorCalibration
    gyroscope: SensorCalibration
    magnetometer: SensorCalibration
    device_id: int | None = None
    firmware: str | None = None
    saved: str = field(default_factory=lambda: datetime.datetime.now(datetime.UTC)
                       .isoformat(timespec="seconds"))

    @classmethod
    def from_values(cls, values, info=None):
        """From a ``CalibrationValues`` (and the ``DeviceInfo`` it came with)."""
        sensors = {name: SensorCalibration(list(getattr(values, o)), list(getattr(values, m)))
                   for name, (o, m) in SENSORS.items()}
        return cls(**sensors, device_id=None if info is None else info.id,
                   firmware=None if info is None else info.firmware_version)

    def as_json(self):
        return {"format": FORMAT, "version": VERSION, "saved": self.saved,
                "device": {"id": self.device_id, "firmware": self.firmware},
                **{name: getattr(self, name).as_json() for name in SENSORS}}

    @classmethod
    def from_json(cls, data):
        """ValueError naming what is wrong for anything but a backup."""
        if not isinstance(data, dict) or data.get("format") != FORMAT:
            raise ValueError(f"not a calibration backup (no \"format\": \"{FORMAT}\")")
        if data.get("version") != VERSION:
            raise ValueError(f"backup version {data.get('version')!r} is not {VERSION}")
        device = data.get("device") or {}
        if not isinstance(device, dict):
            raise ValueError("device must be an object")
        device_id = device.get("id")
        if device_id is not None and (not isinstance(device_id, int) or isinstance(device_id, bool)):
            raise ValueError("device id must be an integer")
        sensors = {name: SensorCalibration(_numbers(data, name, "offsets", 3),
                                           _numbers(data, name, "scale_matrix", 9))
                   for name in SENSORS}
        return cls(**sensors, device_id=device_id, firmware=device.get("firmware"),
                   saved=str(data.get("saved", "")))

    def save(self, path):
        """Writes the backup as JSON; a file already there is replaced only
        once the new one is complete."""
        path = os.fspath(path)
        partial = f"{path}.partial"
        try:
            with open(partial, "w", encoding="utf-8") as f:
                json.dump(self.as_json(), f, indent=2)
                f.write("\n")
            os.replace(partial, path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(partial)
            raise

    @classmethod
    def load(cls, path):
        with open(path, encoding="utf-8") as f:
            try:
                data = json.load(f)
            except json.JSONDecodeError as e:
                raise ValueError(f"not JSON: {e}") from None
        return cls.from_json(data)


def _numbers(data, sensor, key, count):
    section = data.get(sensor)
    values = section.get(key) if isinstance(section, dict) else None
    where = f"{sensor}.{key}"
    if not isinstance(values, list) or len(values) != count:
        raise ValueError(f"{where} must be a list of {count} numbers")
    if not all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)
               for v in values):
        raise ValueError(f"{where} must hold finite numbers")
    return [float(v) for v in values]


def _answered(value, what, timeout_seconds):
    if value is None:
        raise TimeoutError(f"the device did not answer {what} within {timeout_seconds:g} s")
    return value


def read_calibration(client, timeout_seconds=5.0):
    """Both calibrations and the identity of the device; TimeoutError when it
    does not answer."""
    info = _answered(client.get_device_info(timeout_seconds=timeout_seconds),
                     "the device-info request", timeout_seconds)
    values = _answered(client.get_calibration(timeout_seconds=timeout_seconds),
                       "the calibration request", timeout_seconds)
    return CalibrationBackup.from_values(values, info)


def _acknowledged(accepted, what, timeout_seconds):
    if not accepted:
        raise OSError(f"the device refused the {what}, or did not answer within "
                      f"{timeout_seconds:g} s")


def write_magnetometer_calibration(client, sensor, timeout_seconds=5.0):
    """Writes one ``SensorCalibration`` to the magnetometer; OSError when the
    device does not take it.  Ctrl-C waits until the answer is in."""
    with interrupts_deferred():
        accepted = client.set_magnetometer_calibration(sensor.offsets, sensor.scale_matrix,
                                                       timeout_seconds=timeout_seconds)
        _acknowledged(accepted, "magnetometer calibration", timeout_seconds)


def write_calibration(client, backup, timeout_seconds=5.0):
    """Writes both calibrations of ``backup``; OSError when the device does
    not take one.  Ctrl-C waits until both are written."""
    with interrupts_deferred():
        accepted = client.set_imu_calibration(
            backup.accelerometer.offsets, backup.accelerometer.scale_matrix,
            backup.gyroscope.offsets, backup.gyroscope.scale_matrix,
            timeout_seconds=timeout_seconds)
        _acknowledged(accepted, "IMU calibration", timeout_seconds)
        write_magnetometer_calibration(client, backup.magnetometer, timeout_seconds)


class MagnetometerRollback:
    """``with MagnetometerRollback(client) as rollback:`` puts the
    magnetometer calibration the device had on entry back on exit, unless
    ``rollback.accept()`` was called; see the module's documentation.

    ``backup``: one read already (skips the read on entry).  After the block,
    ``restored`` tells whether the old calibration was written back."""

    def __init__(self, client, timeout_seconds=5.0, backup=None):
        self.client = client
        self.timeout_seconds = timeout_seconds
        self.backup = backup
        self.accepted = False
        self.restored = False

    def __enter__(self):
        if self.backup is None:
            self.backup = read_calibration(self.client, self.timeout_seconds)
        return self

    def accept(self):
        self.accepted = True

    def __exit__(self, kind, error, traceback):
        if self.accepted:
            return False
        # a Ctrl-C held meanwhile interrupts once ``restored`` tells the truth
        with interrupts_deferred():
            try:
                write_magnetometer_calibration(self.client, self.backup.magnetometer,
                                               self.timeout_seconds)
            except OSError as e:
                raise CalibrationNotRestored(
                    f"could not restore the previous magnetometer calibration ({e})",
                    self.backup) from error
            self.restored = True
        return False


@contextlib.contextmanager
def interrupts_deferred():
    """Ctrl-C within the block waits for its end, then interrupts as it
    would have (through the handler that was in place).  A block that raises
    drops the held Ctrl-C: its own exception already ends what it was in."""
    if threading.current_thread() is not threading.main_thread():
        yield  # signal handlers belong to the main thread
        return
    held = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: held.append(frame))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if not held:
        return
    if callable(previous):
        previous(signal.SIGINT, held[0])
    elif previous == signal.SIG_DFL:
        raise KeyboardInterrupt
