"""Noise profiles: a device's noise figures kept under its identity, so that
later tools (bridges filling covariance fields, recordings' metadata) find
them without a new capture.

A profile is a JSON file named after the device's id,
``<folder>/0x5659524500010042.json``; the folder is ``$VYRE_NOISE_PROFILES``
when set, else ``vyre/noise-profiles`` in the user's data directory
(``$XDG_DATA_HOME``, by default ``~/.local/share``).  ``vyre noise --save``
writes one; ``load`` reads it back::

    from vyre_tools.procedures import noise_profile

    profile = noise_profile.load(0x5659524500010042)
    variance = profile.sample_variance("raw_angular_rate_x_deg_per_s", rate_hz=200)
"""

import datetime
import json
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Self

if TYPE_CHECKING:
    from .noise import NoiseReport

FOLDER_ENV = "VYRE_NOISE_PROFILES"
KIND = "vyre.noise-profile"
VERSION = 1


def folder() -> str:
    """Where profiles are kept."""
    if os.environ.get(FOLDER_ENV):
        return os.environ[FOLDER_ENV]
    data = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(data, "vyre", "noise-profiles")


def device_key(device_id: int | str) -> str:
    """The id as profiles name it: "0x" and 16 upper-case hex digits;
    ValueError for anything else."""
    if isinstance(device_id, str):
        try:
            device_id = int(device_id, 16 if device_id.lower().startswith("0x") else 10)
        except ValueError:
            raise ValueError(f"not a device id: {device_id!r}") from None
    if not 0 <= device_id < 1 << 64:
        raise ValueError(f"not a device id: {device_id!r}")
    return f"0x{device_id:016X}"


def path_for(device_id: int | str) -> str:
    return os.path.join(folder(), device_key(device_id) + ".json")


@dataclass(frozen=True)
class ChannelNoise:
    """One channel's figures, in ``unit``: white-noise density (unit/sqrt(Hz)),
    bias instability (unit), random walk (unit/s/sqrt(Hz)); a figure the
    capture could only bound is that bound."""

    unit: str
    white_noise_density: float
    bias_instability: float
    random_walk: float


@dataclass(frozen=True)
class NoiseProfile:
    device_id: str
    created: str
    """When the profile was made (ISO 8601, UTC)."""
    source: str
    sample_interval_s: float
    channels: dict[str, ChannelNoise]
    """Column name (``raw_angular_rate_x_deg_per_s`` ...) -> its figures."""

    def sample_variance(self, column: str, rate_hz: float | None = None) -> float:
        """The variance of one reading of ``column`` from its white noise, at
        ``rate_hz`` (the capture's rate when None): the diagonal entry a
        covariance field wants, in the column's unit squared."""
        interval = self.sample_interval_s if rate_hz is None else 1.0 / rate_hz
        density = self.channels[column].white_noise_density
        return density * density / interval

    @classmethod
    def from_report(cls, report: "NoiseReport") -> Self:
        if report.device_id is None:
            raise ValueError("the data does not say which device it came from")
        return cls(
            device_key(report.device_id),
            datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
            report.source,
            report.sampling.interval,
            {
                c.column: ChannelNoise(
                    c.sensor.unit, c.figures.white.value, c.figures.instability.value, c.figures.walk.value
                )
                for c in report.channels
            },
        )

    def as_json(self) -> dict[str, Any]:
        return {
            "kind": KIND,
            "version": VERSION,
            "device_id": self.device_id,
            "created": self.created,
            "source": self.source,
            "sample_interval_s": self.sample_interval_s,
            "channels": {
                name: {
                    "unit": c.unit,
                    "white_noise_density": c.white_noise_density,
                    "bias_instability": c.bias_instability,
                    "random_walk": c.random_walk,
                }
                for name, c in self.channels.items()
            },
        }

    @classmethod
    def from_json(cls, data: object, where: str = "profile") -> Self:
        """ValueError naming ``where`` for anything but a profile."""
        try:
            if not isinstance(data, dict) or data.get("kind") != KIND:
                raise ValueError("not a noise profile")
            channels = {}
            for name, c in data["channels"].items():
                figures = [float(c[k]) for k in ("white_noise_density", "bias_instability", "random_walk")]
                if not all(f >= 0 for f in figures):
                    raise ValueError(f"{name}: a figure below zero or not a number")
                channels[str(name)] = ChannelNoise(str(c["unit"]), *figures)
            interval = float(data["sample_interval_s"])
            if not interval > 0:
                raise ValueError("the sample interval must be positive")
            return cls(
                device_key(str(data["device_id"])),
                str(data["created"]),
                str(data["source"]),
                interval,
                channels,
            )
        except (KeyError, TypeError, AttributeError, ValueError) as e:
            raise ValueError(f"{where}: not a noise profile ({type(e).__name__}: {e})") from None


def save(profile: NoiseProfile) -> str:
    """Writes ``profile`` under its device's id (replacing an older one, whole
    or not at all); the path written."""
    path = path_for(profile.device_id)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    partial = path + ".partial"
    with open(partial, "w", encoding="utf-8") as f:
        json.dump(profile.as_json(), f, indent=2)
        f.write("\n")
        f.flush()
        os.fsync(f.fileno())
    os.replace(partial, path)
    return path


def load(device_id: int | str) -> NoiseProfile:
    """The profile saved for ``device_id``: FileNotFoundError when there is
    none, ValueError for a file that is not a profile."""
    path = path_for(device_id)
    with open(path, encoding="utf-8") as f:
        try:
            data = json.load(f)
        except (ValueError, UnicodeDecodeError) as e:
            raise ValueError(f"{path}: not a noise profile ({e})") from None
    return NoiseProfile.from_json(data, path)
