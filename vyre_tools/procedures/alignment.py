"""Several devices on one timeline: each device's remaining time offset
against a reference device, found from a motion they all felt.

Each client's synced time already follows its device's clock (offset and
drift); what is left between two devices is the difference of their links'
fixed delays, the same all along a session.  Held together and shaken (or
tapped), the devices see one motion: the magnitude of the angular rate and
of the change of acceleration are the same for all whatever way each is
mounted, so the offset is the lag at which those signals agree best.

The search: the motion's window is where the reference moves most; the
lag is found first in whole samples (the normalized cross-correlation over
``max_lag`` either way), then to a fraction of a sample by evaluating the
correlation at fractional lags (each device's signal interpolated at the
reference's sample times plus the lag) and fitting a parabola through the
best three.  The uncertainty is the jackknife's: the offset found again
with each fifth of the window left out.  A device is refused, with the
reason, when the motion is too weak, the signals do not agree, or the
correlation has a second peak nearly as high (a periodic motion: no lag
is better than another one period away).

``offset_seconds`` is how much later a device's synced time reads than the
reference's for the same instant: the aligned time is the synced time minus
the offset (:func:`apply`).
"""

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy as np

    type Floats = np.ndarray[tuple[int], np.dtype[np.float64]]

TIME = "synced_time_seconds"
_GYRO = ("raw_angular_rate_x_deg_per_s", "raw_angular_rate_y_deg_per_s", "raw_angular_rate_z_deg_per_s")
_ACCEL = ("raw_acceleration_x_gs", "raw_acceleration_y_gs", "raw_acceleration_z_gs")
CHANGE_SECONDS = 0.005  # the acceleration change is taken over this long: less noise than one sample's
ACTIVITY_SECONDS = 0.25  # the moving window the motion's strength is judged over
WINDOW_MARGIN = 0.5  # s of the quieter motion kept either side of the strong part
WINDOW_MAX = 30.0  # s: a longer motion adds nothing but time to the search
FINE_STEP = 0.05  # samples between the fractional lags tried
JACKKNIFE_PARTS = 5
MIN_SAMPLES = 200  # in the motion's window
MIN_SNR = 8.0  # a channel takes part when its motion is this many times its noise
MIN_QUALITY = 0.5
AMBIGUITY = 0.9  # a second peak this high against the first makes the lag ambiguous


class AlignmentError(ValueError):
    """Nothing could be aligned (no reference motion, too few samples):
    one line for the user."""


@dataclass(frozen=True)
class DeviceOffset:
    """One device's offset against the reference."""

    device: int
    """The device's index among those given."""
    offset_seconds: float
    """How much later this device's synced time reads than the reference's
    for one instant (0 for the reference; NaN when refused)."""
    uncertainty_seconds: float
    """Standard error of the offset (jackknife over the motion's window)."""
    quality: float
    """The normalized correlation at the offset, 0 to 1 (1: identical)."""
    refusal: str | None = None
    """Why no offset was found, None when one was."""

    @property
    def aligned(self) -> bool:
        return self.refusal is None


@dataclass(frozen=True)
class Alignment:
    """Every device's offset against the reference, and the motion's window
    (synced time of the reference, seconds)."""

    reference: int
    window: tuple[float, float]
    devices: list[DeviceOffset] = field(default_factory=list)

    @property
    def complete(self) -> bool:
        """True when every device was aligned."""
        return all(d.aligned for d in self.devices)

    def offsets(self) -> dict[int, float]:
        """Offset of each aligned device, by index."""
        return {d.device: d.offset_seconds for d in self.devices if d.aligned}

    def to_metadata(self) -> dict[str, Any]:
        """What a recording keeps of the alignment (JSON-ready)."""
        return {
            "reference": self.reference,
            "window_seconds": list(self.window),
            "devices": [
                {
                    "device": d.device,
                    "offset_seconds": None if not d.aligned else d.offset_seconds,
                    "uncertainty_seconds": None if not d.aligned else d.uncertainty_seconds,
                    "quality": None if math.isnan(d.quality) else round(d.quality, 4),
                    "refusal": d.refusal,
                }
                for d in self.devices
            ],
        }


@dataclass
class _Signals:
    """One device's samples: synced times (increasing) and its vectors."""

    times: "Floats"
    gyro: "np.ndarray[Any, np.dtype[np.float64]]"
    accel: "np.ndarray[Any, np.dtype[np.float64]]"

    def at(self, t: "Floats") -> "np.ndarray[Any, np.dtype[np.float64]]":
        """The two motion signals at times ``t``: |angular rate| and
        |acceleration change over CHANGE_SECONDS|, rows 0 and 1."""
        import numpy as np

        def vec(values: "np.ndarray[Any, np.dtype[np.float64]]", at: "Floats") -> Any:
            return np.stack([np.interp(at, self.times, values[:, i]) for i in range(3)], axis=1)

        gyro = np.linalg.norm(vec(self.gyro, t), axis=1)
        change = np.linalg.norm(vec(self.accel, t) - vec(self.accel, t - CHANGE_SECONDS), axis=1)
        return np.stack([gyro, change])


def _signals(rows: Any, index: int) -> _Signals:
    import numpy as np

    names = getattr(rows.dtype, "names", None) or ()
    missing = [n for n in (TIME, *_GYRO, *_ACCEL) if n not in names]
    if missing:
        raise AlignmentError(f"device {index}: its rows have no column {', '.join(missing)}")
    times = np.asarray(rows[TIME], dtype=np.float64)
    keep = np.isfinite(times)
    gyro = np.stack([np.asarray(rows[n], dtype=np.float64) for n in _GYRO], axis=1)
    accel = np.stack([np.asarray(rows[n], dtype=np.float64) for n in _ACCEL], axis=1)
    keep &= np.isfinite(gyro).all(axis=1) & np.isfinite(accel).all(axis=1)
    times, gyro, accel = times[keep], gyro[keep], accel[keep]
    order = np.argsort(times, kind="stable")
    times, gyro, accel = times[order], gyro[order], accel[order]
    # a repeated time (never from one clock model) would make interpolation ill-defined
    unique = np.concatenate([[True], np.diff(times) > 0]) if len(times) else np.zeros(0, bool)
    return _Signals(times[unique], gyro[unique], accel[unique])


def _noise(signal: "Floats", step: float) -> float:
    """The signal's sample-to-sample noise where it is quietest: the least
    standard deviation of its first differences over ACTIVITY_SECONDS, as a
    standard deviation of one sample."""
    import numpy as np

    d = np.diff(signal)
    width = max(2, int(round(ACTIVITY_SECONDS / step)))
    if len(d) < width:
        return float(np.std(d)) / math.sqrt(2) if len(d) else 0.0
    mean = _moving_mean(d, width)
    square = _moving_mean(d * d, width)
    return float(np.sqrt(max(float(np.min(square - mean * mean)), 0.0)) / math.sqrt(2))


def _moving_mean(values: "Floats", width: int) -> "Floats":
    """The mean of each ``width`` values in a row (len - width + 1 of them)."""
    import numpy as np

    sums = np.concatenate([[0.0], np.cumsum(values)])
    means: Floats = (sums[width:] - sums[:-width]) / width
    return means


def _slope(signal: "Floats", step: float) -> float:
    """The root mean square of the signal's rate of change, taken over
    CHANGE_SECONDS x 2 so that the noise adds little."""
    import numpy as np

    k = max(1, int(round(CHANGE_SECONDS / step)))
    if len(signal) <= 2 * k:
        return 0.0
    rate = (signal[2 * k :] - signal[: -2 * k]) / (2 * k * step)
    return float(np.sqrt(np.mean(rate * rate)))


def _window(ref: _Signals, step: float) -> tuple[float, float]:
    """Where the reference moves most: the stretch around its strongest
    quarter second whose activity stays above a quarter of that peak."""
    import numpy as np

    gyro = ref.at(ref.times)[0]
    width = max(1, min(len(gyro), int(round(ACTIVITY_SECONDS / step))))
    level = gyro - np.median(gyro)
    # centred on each sample, the ends padded with their nearest mean
    power = np.pad(_moving_mean(level * level, width), (width // 2, width - 1 - width // 2), mode="edge")
    peak = int(np.argmax(power))
    strong = power >= power[peak] / 4
    lo = hi = peak
    while lo > 0 and strong[lo - 1]:
        lo -= 1
    while hi < len(strong) - 1 and strong[hi + 1]:
        hi += 1
    start = float(ref.times[lo]) - WINDOW_MARGIN
    end = min(float(ref.times[hi]) + WINDOW_MARGIN, start + WINDOW_MAX)
    return max(start, float(ref.times[0]) + CHANGE_SECONDS), min(end, float(ref.times[-1]))


def _pearson(x: "np.ndarray[Any, np.dtype[np.float64]]", y: "np.ndarray[Any, np.dtype[np.float64]]") -> float:
    import numpy as np

    x = x - x.mean()
    y = y - y.mean()
    norm = math.sqrt(float(np.dot(x, x)) * float(np.dot(y, y)))
    return float(np.dot(x, y)) / norm if norm > 0 else 0.0


def _coarse(
    x: "np.ndarray[Any, np.dtype[np.float64]]", y: "np.ndarray[Any, np.dtype[np.float64]]", lags: int
) -> "Floats":
    """Normalized correlation of ``x`` (length n) with each n-long stretch of
    ``y`` (length n + 2 lags): the value at i is lag i - lags."""
    import numpy as np

    n = len(x)
    xc = x - x.mean()
    xn = math.sqrt(float(np.dot(xc, xc)))
    dots = np.correlate(y, xc, mode="valid")
    sums = np.concatenate([[0.0], np.cumsum(y)])
    squares = np.concatenate([[0.0], np.cumsum(y * y)])
    s = sums[n:] - sums[:-n]
    ss = squares[n:] - squares[:-n]
    spread = np.sqrt(np.maximum(ss - s * s / n, 0.0))
    with np.errstate(invalid="ignore", divide="ignore"):
        out = dots / (xn * spread)
    result: Floats = np.nan_to_num(out[: 2 * lags + 1], nan=0.0)
    return result


def _fine(
    x: "np.ndarray[Any, np.dtype[np.float64]]",
    weights: Sequence[float],
    other: _Signals,
    times: "Floats",
    centre: float,
    step: float,
) -> tuple[float, float]:
    """The lag (s) near ``centre`` where the weighted correlation peaks, to a
    fraction of a sample, and the correlation there."""
    import numpy as np

    fractions = np.arange(-1.5, 1.5 + FINE_STEP / 2, FINE_STEP)
    values = []
    for f in fractions:
        y = other.at(times + centre + f * step)
        values.append(sum(w * _pearson(x[c], y[c]) for c, w in enumerate(weights) if w))
    rho = np.array(values) / sum(weights)
    i = int(np.clip(np.argmax(rho), 1, len(rho) - 2))
    a, b, c = rho[i - 1], rho[i], rho[i + 1]
    denominator = a - 2 * b + c
    shift = 0.5 * (a - c) / denominator if denominator < 0 else 0.0
    shift = max(-1.0, min(1.0, shift))
    peak = b - 0.25 * (a - c) * shift
    return centre + (fractions[i] + shift * FINE_STEP) * step, float(peak)


def align(streams: Sequence[Any], reference: int = 0, max_lag: float = 0.25) -> Alignment:
    """Each device's offset against ``streams[reference]``.

    ``streams`` are each device's rows (structured arrays with
    ``synced_time_seconds``, the raw angular rate and acceleration columns,
    as ``get_data_array`` or a recording gives them); rows without a synced
    time are left out.  ``max_lag`` (s) bounds the offsets searched.  A
    device that cannot be aligned comes back refused with its reason;
    AlignmentError when nothing can be (the reference has too few samples
    or no motion)."""
    import numpy as np

    if not 0 <= reference < len(streams):
        raise AlignmentError(f"no device {reference} among {len(streams)}")
    if not max_lag > 0 or math.isinf(max_lag):
        raise AlignmentError("the largest offset searched must be a positive number of seconds")
    signals = [_signals(rows, i) for i, rows in enumerate(streams)]
    ref = signals[reference]
    if len(ref.times) < MIN_SAMPLES:
        raise AlignmentError(
            f"the reference device {reference} has {len(ref.times)} samples with a synced time; "
            f"at least {MIN_SAMPLES} are needed"
        )
    step = float(np.median(np.diff(ref.times)))
    start, end = _window(ref, step)
    inside = (ref.times >= start) & (ref.times <= end)
    times = ref.times[inside]
    if len(times) < MIN_SAMPLES:
        raise AlignmentError(f"the reference device's motion spans only {len(times)} samples")
    x = ref.at(times)
    # a channel takes part when it moved well above its noise, weighed by
    # how sharply it tells time: (its rate of change / its noise) squared
    whole = ref.at(ref.times)
    noise = [max(_noise(whole[c], step), 1e-9) for c in range(2)]
    snr = [float(np.std(x[c])) / noise[c] for c in range(2)]
    sharpness = [(_slope(x[c], step) / noise[c]) ** 2 for c in range(2)]
    weights = [sharpness[c] / max(sharpness) if snr[c] >= MIN_SNR else 0.0 for c in range(2)]
    if not any(weights):
        raise AlignmentError(
            f"the motion is too weak: the largest angular rate is {float(x[0].max()):.1f} deg/s "
            f"(signal {max(snr):.1f} times its noise, {MIN_SNR:g} needed): hold the devices "
            "together and shake them"
        )
    lags = max(1, int(math.ceil(max_lag / step)))
    grid = np.arange(len(times)) * step + times[0]
    x_grid = ref.at(grid)
    results = []
    for i, other in enumerate(signals):
        if i == reference:
            results.append(DeviceOffset(i, 0.0, 0.0, 1.0))
            continue
        results.append(_one(i, other, x, x_grid, weights, times, grid, step, lags))
    return Alignment(reference, (start, end), results)


def _one(
    index: int,
    other: _Signals,
    x: Any,
    x_grid: Any,
    weights: Sequence[float],
    times: "Floats",
    grid: "Floats",
    step: float,
    lags: int,
) -> DeviceOffset:
    import numpy as np

    def refuse(reason: str, quality: float = math.nan) -> DeviceOffset:
        return DeviceOffset(index, math.nan, math.nan, quality, reason)

    if len(other.times) < MIN_SAMPLES:
        return refuse(f"{len(other.times)} samples with a synced time; at least {MIN_SAMPLES} are needed")
    if other.times[0] > grid[0] + step * lags or other.times[-1] < grid[-1] - step * lags:
        return refuse("its synced times do not cover the reference's motion")
    shifted = np.arange(-lags, len(grid) + lags) * step + grid[0]
    y = other.at(shifted)
    rho: Floats = np.zeros(2 * lags + 1)
    for c, w in enumerate(weights):
        if w:
            rho += w * _coarse(x_grid[c], y[c], lags) / sum(weights)
    best = int(np.argmax(rho))
    coarse_peak = float(rho[best])
    if coarse_peak < MIN_QUALITY:
        return refuse(
            f"its motion does not match the reference's (best correlation {coarse_peak:.2f}, "
            f"{MIN_QUALITY:g} needed): were the devices held together?",
            coarse_peak,
        )
    if best in (0, len(rho) - 1):
        return refuse(
            f"the best match lies at the edge of the +/-{lags * step * 1e3:.0f} ms searched: "
            "search further (max_lag)",
            coarse_peak,
        )
    # the main lobe: out to where the correlation falls below half the peak
    lo = hi = best
    while lo > 0 and rho[lo - 1] > coarse_peak / 2:
        lo -= 1
    while hi < len(rho) - 1 and rho[hi + 1] > coarse_peak / 2:
        hi += 1
    outside = np.concatenate([rho[:lo], rho[hi + 1 :]])
    if len(outside) and float(outside.max()) >= AMBIGUITY * coarse_peak:
        second = int(np.flatnonzero(rho == outside.max())[0])
        return refuse(
            f"ambiguous: correlation {coarse_peak:.2f} at {(best - lags) * step * 1e3:+.1f} ms and "
            f"{float(outside.max()):.2f} at {(second - lags) * step * 1e3:+.1f} ms (a periodic "
            "motion? shake irregularly or tap a few times)",
            coarse_peak,
        )
    centre = (best - lags) * step
    offset, quality = _fine(x, weights, other, times, centre, step)
    # jackknife: the offset again with each part of the window left out
    parts = np.array_split(np.arange(len(times)), JACKKNIFE_PARTS)
    again = []
    for part in parts:
        keep = np.ones(len(times), bool)
        keep[part] = False
        again.append(_fine(x[:, keep], weights, other, times[keep], centre, step)[0])
    k = JACKKNIFE_PARTS
    mean = sum(again) / k
    uncertainty = math.sqrt((k - 1) / k * sum((a - mean) ** 2 for a in again))
    return DeviceOffset(index, offset, uncertainty, min(1.0, quality))


def apply(streams: Sequence[Any], alignment: Alignment) -> list[Any]:
    """Copies of ``streams`` with each aligned device's synced times moved
    onto the reference's timeline (a refused device's rows are copied
    unchanged)."""
    out = []
    offsets = alignment.offsets()
    for i, rows in enumerate(streams):
        copy = rows.copy()
        if i in offsets and offsets[i]:
            copy[TIME] = copy[TIME] - offsets[i]
        out.append(copy)
    return out


def aligned_path(source: str) -> str:
    """Where the aligned copy of ``source`` goes by default: its name with
    ``-aligned`` before the suffix (``run-aligned.csv`` for ``run.csv``)."""
    import os

    stem, suffix = os.path.splitext(source)
    return f"{stem}-aligned{suffix}"


def align_recording(
    source: str, target: str | None = None, reference: int = 0, max_lag: float = 0.25
) -> tuple[Alignment, str | None]:
    """Aligns the devices of a recording of several, and writes the aligned
    copy when every one was aligned.

    ``source`` is a recording made by ``vyre stream`` with several ports;
    the copy goes to ``target`` (default :func:`aligned_path`): the same
    rows, each device's synced times on the reference's timeline, the
    offsets under the metadata's ``"alignment"``.  Returns the alignment
    and the path written (None when a device was refused and nothing was
    written).  AlignmentError for a recording of one device or none that can be
    aligned; RecordingError for a file that is not a recording."""
    import os

    from ..recording import DEVICE, open_writer, read, read_metadata, split

    target = target or aligned_path(source)
    if os.path.abspath(target) == os.path.abspath(source):
        raise AlignmentError(f"{source}: the aligned copy would replace the recording itself")
    rows = read(source)
    meta = read_metadata(source)
    entries = meta.get("devices")
    streams = split(rows, len(entries) if isinstance(entries, list) else 0)
    if DEVICE not in (rows.dtype.names or ()) or len(streams) < 2:
        raise AlignmentError(f"{source} holds one device: there is nothing to align it with")
    alignment = align(streams, reference, max_lag)
    if not alignment.complete:
        return alignment, None
    out = rows.copy()
    for index, offset in alignment.offsets().items():
        mine = out[DEVICE] == index
        out[TIME][mine] = out[TIME][mine] - offset
    with open_writer(target, out.dtype, {**meta, "alignment": alignment.to_metadata()}) as writer:
        writer.write(out)
    return alignment, target
