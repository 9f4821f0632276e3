"""The covariances the bridges publish: from the device's noise profile when
one was saved for it (``vyre noise --save``), else unknown.

A white-noise density N (units/√Hz) sampled at f Hz gives each sample a
variance of N² f (the discrete noise of a camera-IMU calibration's
imu.yaml, sigma_d = sigma_c / √Δt: the profile's ``sample_variance``), in
the units sent; the three axes are taken as independent, so a covariance
matrix is diagonal.  Unknown is what ROS
says it is: a matrix of zeros (a variance of 0), and -1 in the first
element for an orientation that is not known at all."""

import importlib
from dataclasses import dataclass
from typing import Any

from . import samples

UNKNOWN_MATRIX = (0.0,) * 9
UNKNOWN_ORIENTATION = (-1.0,) + (0.0,) * 8


@dataclass(frozen=True)
class Covariances:
    """Per-sample variances per axis, in the units the bridges send; 0 where
    the profile does not say."""

    angular_velocity: tuple[float, float, float] = (0.0, 0.0, 0.0)  # (rad/s)²
    linear_acceleration: tuple[float, float, float] = (0.0, 0.0, 0.0)  # (m/s²)²
    magnetic_field: tuple[float, float, float] = (0.0, 0.0, 0.0)  # T²
    fluid_pressure: float = 0.0  # Pa²
    temperature: float = 0.0  # °C²


def diagonal(variances: tuple[float, float, float]) -> tuple[float, ...]:
    """A row-major 3 × 3 matrix with ``variances`` on its diagonal."""
    x, y, z = variances
    return (x, 0.0, 0.0, 0.0, y, 0.0, 0.0, 0.0, z)


# (covariance field, its columns, the column unit's scale to the unit sent)
_VECTORS = (
    ("angular_velocity", samples.ANGULAR_RATE, samples.RADIANS_PER_DEGREE),
    ("linear_acceleration", samples.ACCELERATION, samples.STANDARD_GRAVITY),
    ("magnetic_field", samples.MAGNETIC_FIELD, samples.TESLAS_PER_MICROTESLA),
)


def for_device(meta: dict[str, Any]) -> Covariances | None:
    """The covariances for the device a recording's metadata ``meta`` names
    (its ``device_id`` and configured rate), from its saved noise profile;
    None when there is no profile for it (or no way to read one here)."""
    device_id = meta.get("device_id")
    config = meta.get("configuration")
    rate = config.get("frequency_hz") if isinstance(config, dict) else None
    if not isinstance(device_id, str) or not isinstance(rate, (int, float)) or rate <= 0:
        return None
    profile = _profile(device_id)
    if profile is None:
        return None

    def variance(column: str, scale: float = 1.0) -> float:
        if column not in profile.channels:
            return 0.0
        return float(profile.sample_variance(column, float(rate))) * scale * scale

    vectors = {
        field: (variance(x, scale), variance(y, scale), variance(z, scale))
        for field, (x, y, z), scale in _VECTORS
    }
    return Covariances(
        fluid_pressure=variance("pressure_pascals"), temperature=variance("temperature_celsius"), **vectors
    )


def _profile(device_id: str) -> Any:
    """The device's saved noise profile (``sample_variance(column, rate)``,
    ``channels``), None without one.  The profiles' module is optional here:
    a build without it has no profiles."""
    try:
        profiles = importlib.import_module("vyre_tools.procedures.noise_profile")
    except ImportError:
        return None
    try:
        return profiles.load(device_id)
    except (OSError, ValueError):
        return None  # none saved, or unreadable: unknown rather than a guess
