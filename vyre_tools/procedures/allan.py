"""Overlapping Allan deviation, and the noise figures read from it.

The Allan deviation of a series y sampled every tau0 at the averaging time
tau = m tau0 compares the means of neighbouring windows of m samples::

    sigma^2(tau) = sum_i (x[i+2m] - 2 x[i+m] + x[i])^2 / (2 m^2 (n + 1 - 2m))

with x the running sum of y (x[0] = 0): every start i counts ("overlapping"),
which uses the data best.  A series split at gaps is a list of segments:
each adds its own differences, none spans a gap.  The running sum is taken
of y less its mean in float64, so that a large constant (1 g, 100 kPa)
costs no precision.

What the curve tells, for a still sensor (IEEE Std 952):

- white noise of density N: sigma(tau) = N / sqrt(tau), slope -1/2;
- bias instability B: flicker noise, sigma = B sqrt(2 ln 2 / pi) = 0.664 B,
  the flat bottom of the curve;
- rate random walk K: sigma(tau) = K sqrt(tau / 3), slope +1/2.

``fit_figures`` fits sigma^2 = N^2 / tau + b + K^2 tau / 3 to the whole curve
by least squares weighted with each point's uncertainty (coefficients kept
at zero or above) for N and K, and reads B from the curve's minimum, with
the averaging time where it lies.  A point's relative uncertainty is
1 / sqrt(2 (n/m - 1)) for n samples (the number of independent averages);
each figure carries its one-standard-deviation interval.  A process the
capture is too short to show is given as an upper bound: the most the
curve allows.
"""

import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy as np

    type Floats = np.ndarray[tuple[int], np.dtype[np.float64]]
    type Ints = np.ndarray[tuple[int], np.dtype[np.int64]]

# the Allan deviation of flicker noise over its bias instability
FLICKER_FLOOR = math.sqrt(2 * math.log(2) / math.pi)
# averaging times per decade on the curve
PER_DECADE = 6
# the longest averaging time leaves this many independent averages
MIN_AVERAGES = 3
# refits with the weights of the fitted curve
REWEIGHTS = 3
# samples worked on at once
BLOCK = 1 << 16
# a minimum known less well than this is only a bound on the bias instability
MAX_FLOOR_ERROR = 0.3


@dataclass(frozen=True)
class AllanCurve:
    """Allan deviation against averaging time for one channel."""

    tau0: float
    """The sample interval, seconds."""
    factors: "Ints"
    """The averaging factors m: tau = m tau0."""
    deviation: "Floats"
    """The overlapping Allan deviation at each factor, in the data's unit."""
    terms: "Ints"
    """How many differences each point averages (over all segments)."""
    samples: int
    """Samples over all segments."""

    @property
    def taus(self) -> "Floats":
        """Averaging times, seconds."""
        taus: Floats = self.factors.astype(float) * self.tau0
        return taus

    @property
    def errors(self) -> "Floats":
        """Relative one-standard-deviation uncertainty of each point."""
        import numpy as np

        averages = np.maximum(self.samples / self.factors, 1.5)
        errors: Floats = 1.0 / np.sqrt(2.0 * (averages - 1.0))
        return errors


def averaging_factors(longest: int, per_decade: int = PER_DECADE) -> "Ints":
    """Log-spaced averaging factors from 1 up to where ``longest`` samples
    still give ``MIN_AVERAGES`` independent averages."""
    import numpy as np

    top = max(1, longest // MIN_AVERAGES)
    count = max(2, int(math.ceil(math.log10(top) * per_decade)) + 1)
    factors: Ints = np.unique(np.round(np.logspace(0, math.log10(top), count)).astype(np.int64))
    return factors


def allan_deviation(
    segments: "Iterable[np.ndarray[Any, Any]]", tau0: float, factors: "Sequence[int] | Ints | None" = None
) -> AllanCurve:
    """The overlapping Allan deviation of evenly sampled ``segments`` (1-d
    arrays of one channel, each without gaps, sampled every ``tau0`` s) at
    ``factors`` (log-spaced up to a third of the longest segment when
    None).  A factor no segment is long enough for gets NaN."""
    import numpy as np

    if not tau0 > 0:
        raise ValueError("the sample interval must be positive")
    parts = [np.asarray(s) for s in segments]
    parts = [s for s in parts if len(s) >= 3]
    if not parts:
        raise ValueError("too few samples for an Allan deviation (at least 3 in a row)")
    longest = max(len(s) for s in parts)
    m_all: Ints = (
        averaging_factors(longest) if factors is None else np.asarray(factors, dtype=np.int64).reshape(-1)
    )
    if (m_all < 1).any():
        raise ValueError("averaging factors are whole numbers from 1")
    sums = np.zeros(len(m_all))
    terms = np.zeros(len(m_all), dtype=np.int64)
    block = np.empty(min(longest, BLOCK))
    for part in parts:
        n = len(part)
        x = running_sum(part)
        for j, m in enumerate(m_all.tolist()):
            k = n + 1 - 2 * m
            if k < 1:
                continue
            squares = 0.0
            # in blocks: a second array of the data's length would double the memory
            for start in range(0, k, BLOCK):
                stop = min(start + BLOCK, k)
                d = block[: stop - start]
                np.subtract(x[start + 2 * m : stop + 2 * m], x[start + m : stop + m], out=d)
                np.subtract(d, x[start + m : stop + m], out=d)
                np.add(d, x[start:stop], out=d)
                # einsum rather than dot: BLAS's threads cost more than they save here
                squares += float(np.einsum("i,i->", d, d))
            sums[j] += squares / (m * m)
            terms[j] += k
        del x
    with np.errstate(invalid="ignore", divide="ignore"):
        deviation: Floats = np.where(terms > 0, np.sqrt(sums / (2.0 * np.maximum(terms, 1))), np.nan)
    total = sum(len(s) for s in parts)
    return AllanCurve(float(tau0), m_all, deviation, terms, total)


def running_sum(values: "np.ndarray[Any, Any]") -> "Floats":
    """x[0] = 0, x[i] = the sum of the first i values less their mean, in
    float64, made a block at a time (no float64 copy of the values)."""
    import numpy as np

    n = len(values)
    mean = float(np.mean(values, dtype=np.float64))
    x: Floats = np.empty(n + 1)
    x[0] = 0.0
    for start in range(0, n, BLOCK):
        stop = min(start + BLOCK, n)
        chunk = values[start:stop].astype(np.float64)
        chunk -= mean
        np.cumsum(chunk, out=x[start + 1 : stop + 1])
        x[start + 1 : stop + 1] += x[start]
    return x


@dataclass(frozen=True)
class Figure:
    """One noise figure with its one-standard-deviation interval."""

    value: float
    low: float
    high: float
    upper_bound: bool = False
    """The process does not show in this capture: ``value`` is the most the
    curve allows (``low`` is 0)."""
    tau: float | None = None
    """For the bias instability: the averaging time of the minimum, s."""

    def as_json(self) -> dict[str, Any]:
        out: dict[str, Any] = {"value": self.value, "low": self.low, "high": self.high}
        out["upper_bound"] = self.upper_bound
        if self.tau is not None:
            out["tau_s"] = self.tau
        return out


@dataclass(frozen=True)
class NoiseFigures:
    """The three figures of one channel, in the channel's unit u."""

    white: Figure
    """White-noise density N (velocity or angle random walk), u/sqrt(Hz)."""
    instability: Figure
    """Bias instability B (the flat minimum over 0.664), u."""
    walk: Figure
    """Rate random walk K, u/s/sqrt(Hz) (u/sqrt(s))."""

    fit: tuple[float, float, float] = (0.0, 0.0, 0.0)
    """The fitted variance model a / tau + b + c tau (a = N^2, c = K^2 / 3)."""

    def model(self, taus: "Floats") -> "Floats":
        """The fitted curve at ``taus``."""
        import numpy as np

        a, b, c = self.fit
        out: Floats = np.sqrt(a / taus + b + c * taus)
        return out


def _closest_fit(design: Any, var: Any, weight: Any) -> tuple[bool, float, Any, Any]:
    """Of every subset of the three processes, each coefficient at zero or
    above, the closest fit among those whose coefficients all stand clear of
    their own uncertainty (twice over): noise alone never makes a term.
    (clear, residual, coefficients, covariance)."""
    import numpy as np

    fits: list[tuple[bool, float, Any, Any]] = []
    for mask in range(1, 8):
        cols = [i for i in range(3) if mask >> i & 1]
        a = design[:, cols] * weight[:, None]
        coef, *_ = np.linalg.lstsq(a, var * weight, rcond=None)
        if (coef < 0).any():
            continue
        resid = float(np.sum((a @ coef - var * weight) ** 2))
        full = np.zeros(3)
        full[cols] = coef
        cov = np.zeros((3, 3))
        scale = max(1.0, resid / max(len(var) - len(cols), 1))
        try:
            cov[np.ix_(cols, cols)] = np.linalg.inv(a.T @ a) * scale
        except np.linalg.LinAlgError:
            continue
        clear = all(full[i] > 2 * math.sqrt(max(cov[i, i], 0.0)) for i in cols)
        fits.append((clear, resid, full, cov))
    # one column alone always fits with a non-negative coefficient
    return min(fits, key=lambda f: (not f[0], f[1]))


def fit_figures(curve: AllanCurve) -> NoiseFigures:
    """White-noise density, bias instability and random walk from ``curve``."""
    import numpy as np

    ok = np.isfinite(curve.deviation) & (curve.deviation > 0)
    if not ok.any():
        # a constant channel: no noise at all
        zero = Figure(0.0, 0.0, 0.0)
        return NoiseFigures(zero, zero, zero)
    taus = curve.taus[ok]
    dev = curve.deviation[ok]
    rel = curve.errors[ok]
    var = dev * dev
    # sigma^2 = a / tau + b + c tau, each point weighted by its uncertainty
    design = np.stack([1.0 / taus, np.ones_like(taus), taus], axis=1)
    # weighted by each point's uncertainty: first as measured, then, since
    # a point that came out low would weigh too much, as the fit has it
    weight = 1.0 / (2.0 * rel * var)
    for _ in range(REWEIGHTS + 1):
        best = _closest_fit(design, var, weight)
        expected = design @ best[2]
        weight = 1.0 / (2.0 * rel * np.maximum(expected, var * 1e-3))
    _, _, coef, cov = best

    def from_variance(i: float, factor: float, bound: float) -> Figure:
        c, s = float(coef[int(i)]), math.sqrt(max(float(cov[int(i), int(i)]), 0.0))
        if c <= 0:
            return Figure(bound, 0.0, bound, upper_bound=True)
        return Figure(math.sqrt(factor * c), math.sqrt(factor * max(c - s, 0.0)), math.sqrt(factor * (c + s)))

    white = from_variance(0, 1.0, float(np.min(dev * np.sqrt(taus))))
    walk = from_variance(2, 3.0, float(np.min(dev * np.sqrt(3.0 / taus))))
    lowest = int(np.argmin(dev))
    b = float(dev[lowest]) / FLICKER_FLOOR
    e = float(rel[lowest])
    # a curve still falling at its end (over its last decade) has not reached
    # its floor, nor has one rising from its start
    earlier = int(np.searchsorted(taus, taus[-1] / 10.0))
    falling = lowest == len(dev) - 1 and earlier < lowest
    if falling:
        slope = math.log(dev[lowest] / dev[earlier]) / math.log(taus[lowest] / taus[earlier])
        falling = slope < -0.25
    # nor one whose lowest point rests on too few averages to tell a floor
    if falling or (lowest == 0 and len(dev) > 1) or e > MAX_FLOOR_ERROR:
        instability = Figure(b, 0.0, b, upper_bound=True, tau=float(taus[lowest]))
    else:
        instability = Figure(b, b * max(1 - e, 0.0), b * (1 + e), tau=float(taus[lowest]))
    return NoiseFigures(white, instability, walk, (float(coef[0]), float(coef[1]), float(coef[2])))
