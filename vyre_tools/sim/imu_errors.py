"""The accelerometer's and gyroscope's own errors, their range, and the IMU
calibration the host writes to the device.

Each sensor reads raw = T·true + b, with T = S·M: S a diagonal of scale
factors near 1 and M a misalignment matrix, the identity plus small
off-diagonal terms (the axes are not quite square to each other nor to the
package).  The errors are drawn once per device from its seed, within what
such parts show: biases up to 50 mg and 2 degrees/s, scale errors up to 3 %,
misalignments up to a degree.  Without ``imu_errors`` the sensors are ideal
and every reading stays what it was.

Order, as on the part: true motion, then these errors, then noise (added by
the caller), then saturation at the sensor's range, then the calibration the
device holds (calibrated = A·(raw − b), as the magnetometer's), then sent.
"""

import math
import random
from collections.abc import Mapping, Sequence
from typing import Any

Vec3 = tuple[float, float, float]
IDENTITY = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0)
ZERO = (0.0, 0.0, 0.0)

ACCEL_BIAS_MAX = 0.05  # g
GYRO_BIAS_MAX = 2.0  # degrees/s
SCALE_ERROR_MAX = 0.03
MISALIGNMENT_MAX = math.radians(1.0)


def _apply(m: Sequence[float], v: Sequence[float], b: Sequence[float]) -> Vec3:
    x, y, z = v[0] - b[0], v[1] - b[1], v[2] - b[2]
    return (
        m[0] * x + m[1] * y + m[2] * z,
        m[3] * x + m[4] * y + m[5] * z,
        m[6] * x + m[7] * y + m[8] * z,
    )


def draw_sensor(rng: random.Random, bias_max: float) -> tuple[Vec3, tuple[float, ...]]:
    """A bias and a matrix T = S·M (row-major) for one sensor."""
    bias = (
        rng.uniform(-bias_max, bias_max),
        rng.uniform(-bias_max, bias_max),
        rng.uniform(-bias_max, bias_max),
    )
    scale = [1.0 + rng.uniform(-SCALE_ERROR_MAX, SCALE_ERROR_MAX) for _ in range(3)]
    t = [0.0] * 9
    for row in range(3):
        for col in range(3):
            m = 1.0 if row == col else math.sin(rng.uniform(-MISALIGNMENT_MAX, MISALIGNMENT_MAX))
            t[3 * row + col] = scale[row] * m
    return bias, tuple(t)


def _clip(v: Sequence[float], limit: float) -> Vec3:
    return (
        min(max(v[0], -limit), limit),
        min(max(v[1], -limit), limit),
        min(max(v[2], -limit), limit),
    )


class ImuErrors:
    """The errors of one device's accelerometer and gyroscope, and the
    calibration it applies (written with the IMU calibration command)."""

    def __init__(self, opts: Mapping[str, Any]) -> None:
        self.enabled: bool = opts["imu_errors"]
        self.accel_range: float = opts["accel_range"]
        self.gyro_range: float = opts["gyro_range"]
        self.accel_bias: Vec3 = ZERO
        self.accel_matrix: tuple[float, ...] = IDENTITY
        self.gyro_bias: Vec3 = ZERO
        self.gyro_matrix: tuple[float, ...] = IDENTITY
        if self.enabled:
            # a generator of its own: the noise stream stays the seed's
            rng = random.Random(f"imu-errors-{opts['seed']}")
            self.accel_bias, self.accel_matrix = draw_sensor(rng, ACCEL_BIAS_MAX)
            self.gyro_bias, self.gyro_matrix = draw_sensor(rng, GYRO_BIAS_MAX)
        self.neutral = True
        self.cal_accel_offsets: Sequence[float] = ZERO
        self.cal_accel_matrix: Sequence[float] = IDENTITY
        self.cal_gyro_offsets: Sequence[float] = ZERO
        self.cal_gyro_matrix: Sequence[float] = IDENTITY

    def set_calibration(self, values: Sequence[float]) -> None:
        """The 24 values of the IMU calibration command, in its order."""
        v = tuple(values)
        self.cal_accel_offsets, self.cal_accel_matrix = v[0:3], v[3:12]
        self.cal_gyro_offsets, self.cal_gyro_matrix = v[12:15], v[15:24]
        self.neutral = v == ZERO + IDENTITY + ZERO + IDENTITY

    def sensed(self, accel: Vec3, gyro: Vec3) -> tuple[Vec3, Vec3]:
        """What the sensors read, noise aside: T·true + b (g, degrees/s)."""
        if not self.enabled:
            return accel, gyro
        a = _apply(self.accel_matrix, accel, ZERO)
        g = _apply(self.gyro_matrix, gyro, ZERO)
        ab, gb = self.accel_bias, self.gyro_bias
        return (a[0] + ab[0], a[1] + ab[1], a[2] + ab[2]), (g[0] + gb[0], g[1] + gb[1], g[2] + gb[2])

    def output(self, accel: Vec3, gyro: Vec3) -> tuple[Vec3, Vec3]:
        """Noisy readings through the range and the device's calibration."""
        accel = _clip(accel, self.accel_range)
        gyro = _clip(gyro, self.gyro_range)
        if self.neutral:
            return accel, gyro
        return (
            _apply(self.cal_accel_matrix, accel, self.cal_accel_offsets),
            _apply(self.cal_gyro_matrix, gyro, self.cal_gyro_offsets),
        )

    def truth(self) -> dict[str, list[float]]:
        """The true errors (raw = matrix·true + bias), JSON-friendly."""
        return {
            "accel_bias": list(self.accel_bias),
            "accel_matrix": list(self.accel_matrix),
            "gyro_bias": list(self.gyro_bias),
            "gyro_matrix": list(self.gyro_matrix),
            "accel_range": [self.accel_range],
            "gyro_range": [self.gyro_range],
        }
