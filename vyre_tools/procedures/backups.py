"""Calibration backups: read one from the device, write one until the
device holds it, tell whose it is, and keep each in a file of its own.

The backup itself, its JSON and its checks are ``vyre_tools.calibration_backup``'s."""

import datetime
import errno
import os
import time
from collections.abc import Sequence
from typing import TYPE_CHECKING

from ..calibration_backup import (
    SENSORS,
    CalibrationBackup,
    CalibrationNotRestored,
    check_backup,
    describe_held,
    held_by_device,
)
from .device_calls import Steps, call

if TYPE_CHECKING:
    from vyre_client import CalibrationValues

_NAMES = {"accelerometer": "IMU", "gyroscope": "IMU", "magnetometer": "magnetometer"}


class OtherDevice(ValueError):
    """A backup saved from another device than the one it is for."""

    def __init__(self, message: str, saved_from: int, present: int) -> None:
        super().__init__(message)
        self.saved_from = saved_from
        self.present = present


def _answered[T](value: T | None, what: str, timeout: float) -> T:
    if value is None:
        raise TimeoutError(f"the device did not answer {what} within {timeout:g} s")
    return value


def read_backup(timeout: float) -> "Steps[CalibrationBackup]":
    """Both calibrations of the device with its identity; TimeoutError when
    it does not answer."""
    info = _answered(
        (yield call("get_device_info", timeout_seconds=timeout)), "the device-info request", timeout
    )
    values = _answered(
        (yield call("get_calibration", timeout_seconds=timeout)), "the calibration request", timeout
    )
    return CalibrationBackup.from_values(values, info)


def write_held(
    backup: CalibrationBackup, sensors: Sequence[str] = tuple(SENSORS), timeout: float = 5.0
) -> Steps[None]:
    """Writes the ``sensors`` of ``backup`` until the device reads them back
    bit for bit, within ``timeout`` seconds; CalibrationNotRestored naming
    what it holds otherwise. Nothing is written unless every value fits
    (ValueError)."""
    check_backup(backup, sensors)
    deadline = time.monotonic() + timeout

    def left() -> float:
        return max(deadline - time.monotonic(), 0.05)

    held: CalibrationValues | None = None
    while True:
        if "accelerometer" in sensors or "gyroscope" in sensors:
            yield call(
                "set_imu_calibration",
                backup.accelerometer.offsets,
                backup.accelerometer.scale_matrix,
                backup.gyroscope.offsets,
                backup.gyroscope.scale_matrix,
                timeout_seconds=left(),
            )
        if "magnetometer" in sensors:
            yield call(
                "set_magnetometer_calibration",
                backup.magnetometer.offsets,
                backup.magnetometer.scale_matrix,
                timeout_seconds=left(),
            )
        # answered after the writes went out, so it tells what they did
        values = yield call("get_calibration", timeout_seconds=left())
        if values is not None:
            held = values
            if held_by_device(backup, values, sensors):
                return
        if time.monotonic() >= deadline:
            which = " and ".join(dict.fromkeys(_NAMES[s] for s in sensors))
            raise CalibrationNotRestored(
                f"the {which} calibration did not read back within {timeout:g} s: "
                f"{describe_held(held, sensors)}",
                backup,
                held,
            )


def check_device(backup: CalibrationBackup, present: int, source: str = "the backup") -> None:
    """OtherDevice when ``backup`` was saved from another device than
    ``present`` (a backup that names no device fits any)."""
    if backup.device_id is not None and backup.device_id != present:
        raise OtherDevice(
            f"{source} holds the calibrations of device 0x{backup.device_id:016X}, "
            f"not of this one (0x{present:016X})",
            backup.device_id,
            present,
        )


def new_path(folder: str, prefix: str) -> str:
    """A file name in ``folder`` that no other backup has, made now (empty)
    so that no backup of the same second takes it: ``PREFIX-DATE-TIME.json``,
    with ``-2``, ``-3``... when that one is there already."""
    os.makedirs(folder, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    for n in range(1, 10_000):
        path = os.path.join(folder, f"{prefix}-{stamp}{'' if n == 1 else f'-{n}'}.json")
        try:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644))
        except FileExistsError:
            continue
        return path
    raise OSError(errno.EEXIST, f"no free backup name in {folder}")


def save_new(backup: CalibrationBackup, folder: str, prefix: str) -> str:
    """Saves ``backup`` in a file of its own in ``folder`` (see ``new_path``); its path."""
    path = new_path(folder, prefix)
    try:
        backup.save(path)
    except BaseException:
        try:
            os.unlink(path)
        except OSError:
            pass
        raise
    return path
