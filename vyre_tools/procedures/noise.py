"""How noisy a still device is: every channel's Allan deviation and its
noise figures (white-noise density, bias instability, random walk; see
``allan``), from a recording or a live capture.

The device's timestamps set the sample interval (their median step).  An
interval longer than 1.5 steps (packets lost, a pause) or shorter than half
a step (a clock reset, a change of rate) splits the data: no average spans
it, and the report says how many splits there were.  Runs shorter than
three samples, and non-finite readings, are left out and counted.  Small
jitter of the timestamps is reported and otherwise ignored: the samples are
taken as evenly spaced.

Only a still device's readings say anything about its noise: before any
figure is computed the angular rate and the acceleration are checked, in
windows of a second, and data whose window means spread more than
``STILL_RATE`` deg/s or ``STILL_ACCELERATION`` g is refused (``NotStill``).

Memory: a recording is read a few columns at a time (``read_columns``),
and each channel costs three float64 arrays of its length while it is
worked on.
"""

import concurrent.futures
import math
import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from .allan import AllanCurve, NoiseFigures, allan_deviation, fit_figures

if TYPE_CHECKING:
    import numpy as np

    type Column = np.ndarray[tuple[int], np.dtype[Any]]

TIME = "timestamp_seconds"
GAP_FACTOR = 1.5
STILL_RATE = 2.0  # deg/s between the one-second means of an axis
STILL_ACCELERATION = 0.05  # g
G0 = 9.80665
WORKERS = 2  # channels worked on at once


@dataclass(frozen=True)
class Sensor:
    name: str
    unit: str
    columns: tuple[str, ...]
    axes: tuple[str, ...]


SENSORS = (
    Sensor(
        "acceleration",
        "g",
        ("raw_acceleration_x_gs", "raw_acceleration_y_gs", "raw_acceleration_z_gs"),
        ("x", "y", "z"),
    ),
    Sensor(
        "angular rate",
        "deg/s",
        ("raw_angular_rate_x_deg_per_s", "raw_angular_rate_y_deg_per_s", "raw_angular_rate_z_deg_per_s"),
        ("x", "y", "z"),
    ),
    Sensor(
        "magnetic field",
        "µT",
        ("magnetic_field_x_microteslas", "magnetic_field_y_microteslas", "magnetic_field_z_microteslas"),
        ("x", "y", "z"),
    ),
    Sensor("pressure", "Pa", ("pressure_pascals",), ("",)),
    Sensor("temperature", "°C", ("temperature_celsius",), ("",)),
)
ACCELERATION, ANGULAR_RATE = SENSORS[0], SENSORS[1]
COLUMNS = (TIME, *(c for s in SENSORS for c in s.columns))


class NotStill(ValueError):
    """The data moved: its noise figures would describe the motion."""


class NoiseDataError(ValueError):
    """Data from which no figure can be computed (too short, no clock)."""


@dataclass
class Sampling:
    """How the samples lie in time: the interval and the runs without gaps."""

    interval: float
    """The sample interval, s (the median step of the timestamps)."""
    segments: list[tuple[int, int]]
    """[start, stop) of each run of evenly spaced samples."""
    samples: int
    duration: float
    """Seconds the runs cover."""
    notes: list[str] = field(default_factory=list)
    """What was done about gaps and uneven steps, for the user."""


def sampling(timestamps: "Column") -> Sampling:
    """The sample interval of ``timestamps`` (s) and its runs without gaps."""
    import numpy as np

    t = np.asarray(timestamps, dtype=np.float64)
    if len(t) < 3:
        raise NoiseDataError(f"{len(t)} samples are too few for noise figures")
    if not np.isfinite(t).all():
        raise NoiseDataError("the timestamps must be finite numbers")
    step = np.diff(t)
    forward = step[step > 0]
    if not len(forward):
        raise NoiseDataError("the timestamps never advance")
    interval = float(np.median(forward, overwrite_input=True))
    del forward
    breaks = np.flatnonzero((step > GAP_FACTOR * interval) | (step < 0.5 * interval)) + 1
    edges = [0, *breaks.tolist(), len(t)]
    runs = [(a, b) for a, b in zip(edges[:-1], edges[1:]) if b - a >= 3]
    notes = []
    if len(breaks):
        longest = float(np.max(np.abs(step[breaks - 1])))
        notes.append(
            f"{len(breaks)} gap{'s' if len(breaks) > 1 else ''} in the timestamps (longest {longest:.3g} s) "
            f"split the data into {len(edges) - 1} runs; no average spans a gap"
        )
    left_out = len(t) - sum(b - a for a, b in runs)
    if left_out:
        notes.append(f"{left_out} samples in runs shorter than 3 left out")
    if not runs:
        raise NoiseDataError("no three samples in a row are evenly spaced")
    # the steps' spread about the interval within the runs
    squares = sum(float(np.sum((step[a : b - 1] - interval) ** 2)) for a, b in runs)
    jitter = math.sqrt(squares / sum(b - a - 1 for a, b in runs)) / interval
    del step
    if jitter > 0.01:
        notes.append(
            f"the timestamps' steps vary by {100 * jitter:.2g} % (rms); "
            f"the samples are taken as spaced evenly at {interval:.6g} s"
        )
    samples = sum(b - a for a, b in runs)
    return Sampling(interval, runs, samples, samples * interval, notes)


def check_still(sensor: Sensor, columns: Mapping[str, "Column"], where: Sampling) -> None:
    """NotStill, naming the axis and the spread, when ``sensor``'s readings
    (angular rate or acceleration) show motion: their one-second means
    spread more than the limit."""
    import numpy as np

    limit = STILL_RATE if sensor is ANGULAR_RATE else STILL_ACCELERATION
    window = max(1, int(round(1.0 / where.interval)))
    for name, axis in zip(sensor.columns, sensor.axes):
        values = columns[name]
        means = [
            np.mean(values[s : s + window], dtype=np.float64)
            for a, b in where.segments
            for s in range(a, b - window + 1, window)
        ]
        finite = [m for m in means if math.isfinite(m)]
        if len(finite) < 2:
            continue
        spread = max(finite) - min(finite)
        if spread > limit:
            what = "turned" if sensor is ANGULAR_RATE else "moved or tilted"
            raise NotStill(
                f"the {sensor.name} on {axis} changed by {spread:.3g} {sensor.unit} between one-second "
                f"means (more than {limit:g} {sensor.unit}): the device {what}; noise figures need a "
                "device kept still"
            )


@dataclass
class ChannelResult:
    column: str
    sensor: Sensor
    axis: str
    curve: AllanCurve
    figures: NoiseFigures
    left_out: int = 0
    """Non-finite readings left out."""

    @property
    def label(self) -> str:
        return f"{self.sensor.name} {self.axis}".strip()


def channel(sensor: Sensor, index: int, values: "Column", where: Sampling) -> ChannelResult:
    """The curve and the figures of one channel's ``values``."""
    import numpy as np

    bad = ~np.isfinite(values)
    runs: Iterable[tuple[int, int]] = where.segments
    left_out = int(bad.sum())
    if left_out:
        # a non-finite reading splits its run as a gap does
        cut = np.flatnonzero(bad)
        pieces = []
        for a, b in where.segments:
            inside = cut[(cut >= a) & (cut < b)].tolist()
            starts = [a, *(i + 1 for i in inside)]
            stops = [*inside, b]
            pieces += [(s, e) for s, e in zip(starts, stops) if e - s >= 3]
        runs = pieces
    segments = [values[a:b] for a, b in runs]
    if not segments:
        raise NoiseDataError(f"{sensor.columns[index]} holds no three finite readings in a row")
    curve = allan_deviation(segments, where.interval)
    return ChannelResult(
        sensor.columns[index], sensor, sensor.axes[index], curve, fit_figures(curve), left_out
    )


@dataclass
class NoiseReport:
    """The noise figures of every channel of one still capture."""

    source: str
    sampling: Sampling
    channels: list[ChannelResult]
    device_id: str | None = None
    """The device's id ("0x..." in hex) when known."""

    def notes(self) -> list[str]:
        out = list(self.sampling.notes)
        for c in self.channels:
            if c.left_out:
                out.append(f"{c.column}: {c.left_out} non-finite readings left out")
        return out

    def as_json(self, curves: bool = True) -> dict[str, Any]:
        """Everything as JSON-ready values; ``curves`` adds the Allan curves."""
        out: dict[str, Any] = {
            "source": self.source,
            "device_id": self.device_id,
            "sample_interval_s": self.sampling.interval,
            "samples": self.sampling.samples,
            "duration_s": self.sampling.duration,
            "runs": len(self.sampling.segments),
            "notes": self.notes(),
            "interval": "one standard deviation",
            "channels": {},
        }
        for c in self.channels:
            f = c.figures
            entry: dict[str, Any] = {
                "sensor": c.sensor.name,
                "axis": c.axis,
                "unit": c.sensor.unit,
                "white_noise_density": dict(f.white.as_json(), unit=f"{c.sensor.unit}/sqrt(Hz)"),
                "bias_instability": dict(f.instability.as_json(), unit=c.sensor.unit),
                "random_walk": dict(f.walk.as_json(), unit=f"{c.sensor.unit}/s/sqrt(Hz)"),
            }
            if curves:
                ok = c.curve.terms > 0
                entry["curve"] = {
                    "tau_s": c.curve.taus[ok].tolist(),
                    "adev": c.curve.deviation[ok].tolist(),
                    "relative_error": c.curve.errors[ok].tolist(),
                }
            out["channels"][c.column] = entry
        return out

    def imu_yaml(self, topic: str = "/vyre/imu") -> str:
        """The accelerometer's and gyroscope's figures in the layout of the
        imu.yaml that camera-IMU calibration tools read (SI units; per
        sensor the largest of its three axes)."""
        lines = [
            f"# noise of {('device ' + self.device_id) if self.device_id else 'the device'} "
            f"from {self.source}",
            "# continuous-time densities in SI units, the largest of the three axes",
            f"rostopic: {topic}",
            f"update_rate: {1.0 / self.sampling.interval:.6g}  # Hz",
        ]
        scale = {"acceleration": G0, "angular rate": math.pi / 180.0}
        keys = {
            "acceleration": ("accelerometer", "m/s^2/sqrt(Hz)", "m/s^3/sqrt(Hz)"),
            "angular rate": ("gyroscope", "rad/s/sqrt(Hz)", "rad/s^2/sqrt(Hz)"),
        }
        for sensor in (ACCELERATION, ANGULAR_RATE):
            mine = [c for c in self.channels if c.sensor is sensor]
            if not mine:
                continue
            prefix, white_unit, walk_unit = keys[sensor.name]
            k = scale[sensor.name]
            white = max(mine, key=lambda c: c.figures.white.value).figures.white
            walk = max(mine, key=lambda c: c.figures.walk.value).figures.walk
            lines.append(f"{prefix}_noise_density: {white.value * k:.6e}  # {white_unit}")
            bound = "; at most: the capture is too short to show it" if walk.upper_bound else ""
            lines.append(f"{prefix}_random_walk: {walk.value * k:.6e}  # {walk_unit}{bound}")
        return "\n".join(lines) + "\n"


def characterise(
    columns: Callable[[Sequence[str]], Mapping[str, "Column"]],
    source: str,
    device_id: str | None = None,
    still_check: bool = True,
    progress: Callable[[str], None] | None = None,
) -> NoiseReport:
    """The noise report of the data ``columns(names)`` hands out a few
    columns at a time (``TIME`` first, then a sensor's, then each channel's
    alone, from two threads at once: it must be safe to call from either).
    ``progress`` is told each channel done.  NotStill when the angular rate
    or the acceleration show motion (unless ``still_check`` is False),
    NoiseDataError when too little is left to work on."""
    where = sampling(columns([TIME])[TIME])
    if still_check:
        # motion refused before the long work starts
        for sensor in (ANGULAR_RATE, ACCELERATION):
            check_still(sensor, columns(sensor.columns), where)

    def one(sensor: Sensor, index: int) -> ChannelResult:
        name = sensor.columns[index]
        return channel(sensor, index, columns([name])[name], where)

    # a channel at a time per core (numpy works outside the interpreter
    # lock), each reading its own column: memory stays a few columns' worth
    results: list[ChannelResult] = []
    with concurrent.futures.ThreadPoolExecutor(min(WORKERS, os.cpu_count() or 1)) as pool:
        jobs = {
            pool.submit(one, s, i): f"{s.name} {s.axes[i]}".strip()
            for s in SENSORS
            for i in range(len(s.columns))
        }
        try:
            for job in concurrent.futures.as_completed(jobs):
                results.append(job.result())
                if progress is not None:
                    progress(jobs[job])
        except BaseException:
            for job in jobs:
                job.cancel()
            raise
    results.sort(key=lambda c: COLUMNS.index(c.column))
    return NoiseReport(source, where, results, device_id)


def characterise_recording(
    path: str | os.PathLike[str], still_check: bool = True, progress: Callable[[str], None] | None = None
) -> NoiseReport:
    """The noise report of a recording (any of the four formats), read a
    few columns at a time.  RecordingError for a file that is not one."""
    from ..recording import format_of, read_metadata
    from ..recording.columns import read_columns
    from ..recording.journal import is_journal

    meta = read_metadata(path)
    device = meta.get("device_id") if isinstance(meta.get("device_id"), str) else None
    if format_of(path) in ("parquet", "npz") and not is_journal(os.fspath(path)):
        reader: Callable[[Sequence[str]], Mapping[str, "Column"]] = lambda names: read_columns(path, names)
    else:
        # read whole anyway: once, keeping the needed columns only
        held = read_columns(path, COLUMNS)
        reader = lambda names: {name: held[name] for name in names}
    return characterise(
        reader,
        os.path.basename(os.fspath(path)),
        device,
        still_check,
        progress,
    )
