"""From telemetry rows to what every bridge sends: SI units, the frame the
readings are in, the orientation of that frame, and the sample's time.

Frames.  Acceleration, angular rate and magnetic field are reported in the
device's sensor frame, as they came over the link; the bridges keep them
there (no rotation, no resampling).  The device's estimator gives the
attitude of its body frame in a reference frame with Z up (X the heading
reference of the estimator: magnetic north on the simulated device); the
host turns a reading 45 degrees about Z into the body frame before it
applies that attitude, so the sensor frame's own orientation in the
reference frame is ``q * qz(45 degrees)``, which is what the bridges
publish.  An attitude that is not finite or has no length is unknown.

Time.  A sample's time is its synced time (the host's clock at the moment
the device took it); a row without one (the first half second, a packet far
later than the clock model expects, a recording made before synced times)
takes its host receive time instead, which ``synced`` tells apart."""

import math
from typing import TYPE_CHECKING, Any

from ..recording.layout import HOST_TIME, SYNCED_TIME

if TYPE_CHECKING:
    import numpy as np

    Array = np.ndarray[Any, np.dtype[Any]]

STANDARD_GRAVITY = 9.80665  # m/s² per g
RADIANS_PER_DEGREE = math.pi / 180.0
TESLAS_PER_MICROTESLA = 1e-6
# the host's turn from the sensor frame into the body frame, as a quaternion
_TURN_W = math.cos(math.pi / 8)
_TURN_Z = math.sin(math.pi / 8)

ACCELERATION = ("raw_acceleration_x_gs", "raw_acceleration_y_gs", "raw_acceleration_z_gs")
ANGULAR_RATE = (
    "raw_angular_rate_x_deg_per_s",
    "raw_angular_rate_y_deg_per_s",
    "raw_angular_rate_z_deg_per_s",
)
MAGNETIC_FIELD = (
    "magnetic_field_x_microteslas",
    "magnetic_field_y_microteslas",
    "magnetic_field_z_microteslas",
)
QUATERNION = ("est_quaternion_w", "est_quaternion_x", "est_quaternion_y", "est_quaternion_z")


def sample_times(rows: "Array") -> "tuple[Array, Array]":
    """Each row's time in seconds since the epoch (float64) and whether it
    is the synced time (else the receive time)."""
    import numpy as np

    host = rows[HOST_TIME].astype(np.float64)
    if SYNCED_TIME not in (rows.dtype.names or ()):
        return host, np.zeros(len(rows), bool)
    synced = rows[SYNCED_TIME].astype(np.float64)
    known = np.isfinite(synced)
    return np.where(known, synced, host), known


def nanoseconds(seconds: "Array") -> "Array":
    """Seconds since the epoch as whole nanoseconds (int64; NaN and times
    before 1970 at 0)."""
    import numpy as np

    # float64 squares and products of float32 values cannot overflow: no warnings to silence
    ns = np.rint(np.where(np.isfinite(seconds), seconds, 0.0) * 1e9)
    return np.clip(ns, 0, 2**63 - 1024, out=ns).astype(np.int64)


def vectors(rows: "Array", names: tuple[str, str, str], scale: float) -> "Array":
    """Three columns as an (n, 3) float64 array, times ``scale``."""
    import numpy as np

    out = np.empty((len(rows), 3))
    for i, name in enumerate(names):
        out[:, i] = rows[name].astype(np.float64) * scale
    return out


def acceleration(rows: "Array") -> "Array":
    """Specific force in m/s², sensor frame, (n, 3)."""
    return vectors(rows, ACCELERATION, STANDARD_GRAVITY)


def angular_velocity(rows: "Array") -> "Array":
    """Angular rate in rad/s, sensor frame, (n, 3)."""
    return vectors(rows, ANGULAR_RATE, RADIANS_PER_DEGREE)


def magnetic_field(rows: "Array") -> "Array":
    """Magnetic field in tesla, sensor frame, (n, 3)."""
    return vectors(rows, MAGNETIC_FIELD, TESLAS_PER_MICROTESLA)


def sensor_orientation(rows: "Array") -> "tuple[Array, Array]":
    """The unit quaternion (n, 4: w, x, y, z) of the sensor frame in the
    reference frame, and whether it is known; an unknown one is (0, 0, 0, 0)."""
    import numpy as np

    w, x, y, z = (rows[name].astype(np.float64) for name in QUATERNION)
    norm = np.sqrt(w * w + x * x + y * y + z * z)  # float64: no overflow from float32 parts
    known = np.isfinite(norm) & (norm > 1e-6)
    scale = np.divide(1.0, norm, out=np.zeros_like(norm), where=known)
    w, x, y, z = w * scale, x * scale, y * scale, z * scale
    turned = np.empty((len(rows), 4))  # q * (cos 22.5°, 0, 0, sin 22.5°)
    turned[:, 0] = w * _TURN_W - z * _TURN_Z
    turned[:, 1] = x * _TURN_W + y * _TURN_Z
    turned[:, 2] = y * _TURN_W - x * _TURN_Z
    turned[:, 3] = z * _TURN_W + w * _TURN_Z
    return turned, known
