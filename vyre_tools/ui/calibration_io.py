"""Calibration writes that count only once the device reads them back, for
the asyncio client (the blocking ones are in ``calibration_backup``)."""

import time
from collections.abc import Sequence

from ..aio import AsyncVYREClient
from ..calibration_backup import (SENSORS, CalibrationBackup, CalibrationNotRestored,
                                  check_backup, held_by_device)


async def read_backup(client: AsyncVYREClient, timeout: float) -> CalibrationBackup:
    """Both calibrations and the device's identity; TimeoutError without an answer."""
    info = await client.get_device_info(timeout_seconds=timeout)
    values = await client.get_calibration(timeout_seconds=timeout)
    if info is None or values is None:
        raise TimeoutError(f"the device did not answer within {timeout:g} s")
    return CalibrationBackup.from_values(values, info)


async def write_held(client: AsyncVYREClient, backup: CalibrationBackup,
                     sensors: Sequence[str] = tuple(SENSORS), timeout: float = 5.0) -> None:
    """Writes the ``sensors`` of ``backup`` until the device holds them bit
    for bit; CalibrationNotRestored after ``timeout`` seconds otherwise."""
    check_backup(backup)  # nothing is written unless every value fits
    deadline = time.monotonic() + timeout

    def left() -> float:
        return max(deadline - time.monotonic(), 0.05)

    while True:
        if "accelerometer" in sensors:
            await client.set_imu_calibration(
                backup.accelerometer.offsets, backup.accelerometer.scale_matrix,
                backup.gyroscope.offsets, backup.gyroscope.scale_matrix, timeout_seconds=left())
        if "magnetometer" in sensors:
            await client.set_magnetometer_calibration(
                backup.magnetometer.offsets, backup.magnetometer.scale_matrix,
                timeout_seconds=left())
        values = await client.get_calibration(timeout_seconds=left())
        if values is not None and held_by_device(backup, values, sensors):
            return
        if time.monotonic() >= deadline:
            raise CalibrationNotRestored(
                f"the device did not hold the written calibration within {timeout:g} s",
                backup, values)
