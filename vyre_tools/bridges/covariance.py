"""The covariances the bridges publish: from the device's noise profile when
one was saved for it, else unknown.

A white-noise density N (units/√Hz) sampled at f Hz gives each sample a
variance of N² f (the discrete noise of a camera-IMU calibration's
imu.yaml, sigma_d = sigma_c / √Δt); the three axes are taken as
independent, so a covariance matrix is diagonal.  Unknown is what ROS
says it is: a matrix of zeros (a variance of 0), and -1 in the first
element for an orientation that is not known at all."""

import importlib
from dataclasses import dataclass
from typing import Any

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


def from_densities(densities: dict[str, Any], rate_hz: float) -> Covariances:
    """Covariances from white-noise densities in SI units per √Hz (keys
    ``gyroscope``, ``accelerometer``, ``magnetometer``: a number or three,
    ``pressure``, ``temperature``: a number; any may be missing) at
    ``rate_hz`` samples per second."""

    def three(key: str) -> tuple[float, float, float]:
        value = densities.get(key)
        if value is None:
            return (0.0, 0.0, 0.0)
        x, y, z = (value, value, value) if isinstance(value, (int, float)) else value
        return (float(x) ** 2 * rate_hz, float(y) ** 2 * rate_hz, float(z) ** 2 * rate_hz)

    def one(key: str) -> float:
        value = densities.get(key)
        return 0.0 if value is None else float(value) ** 2 * rate_hz

    return Covariances(
        three("gyroscope"), three("accelerometer"), three("magnetometer"), one("pressure"), one("temperature")
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
    densities = _densities(device_id)
    return None if densities is None else from_densities(densities, float(rate))


def _densities(device_id: str) -> dict[str, Any] | None:
    """The white-noise densities of the device's saved noise profile, None
    without one.  The profiles' module is optional: a build without it has
    no profiles."""
    try:
        profiles = importlib.import_module("vyre_tools.procedures.noise_profile")
    except ImportError:
        return None
    load = getattr(profiles, "white_noise_densities", None)
    if load is None:
        return None
    try:
        found = load(device_id)
    except (OSError, ValueError):
        return None  # an unreadable profile is no profile: say nothing rather than guess
    return dict(found) if found else None
