"""The noise on each reading of the simulated device, with known figures.

Every channel (three axes each of acceleration, angular rate and magnetic
field, pressure, temperature) carries up to three independent processes, so
that an Allan deviation of a still capture can be checked against them:

- white noise of density N (unit/sqrt(Hz)): each sample gets N / sqrt(dt)
  for the time dt since the previous one, an Allan deviation of
  N / sqrt(tau).  Without a density the sensor's plain standard deviation
  (``accel_noise`` and the like) is used as before;
- bias instability B (unit): flicker noise, one-sided spectrum B^2 / (pi f),
  whose Allan deviation is flat at B sqrt(2 ln 2 / pi) = 0.664 B.  It is made
  as a sum of first-order Gauss-Markov processes with correlation times
  spread evenly in log time (half a decade apart, 0.1 s to 9 hours), each
  of variance B^2 ln(r) / pi for the ratio r between neighbours: together
  their spectrum is 1/f within that band, so the curve is flat (within a few
  per cent) from about ten seconds to an hour;
- random walk K (unit/s/sqrt(Hz), rate random walk): the bias moves by
  K sqrt(dt) per step, an Allan deviation of K sqrt(tau / 3).

The white noise is drawn from the model's generator in the same order as
ever, so the default settings (no density, no instability, no walk) give
the very same readings as before these options existed; the slow processes
draw from a generator of their own.
"""

import math
import random
from collections.abc import Mapping
from typing import Any, NamedTuple

# correlation times of the flicker's Gauss-Markov processes: 10^(k/2) s
FLICKER_TIMES = tuple(10.0 ** (k / 2) for k in range(-2, 10))
FLICKER_RATIO = math.sqrt(10.0)
# the Allan deviation of flicker noise over its bias instability
FLICKER_FLOOR = math.sqrt(2 * math.log(2) / math.pi)

# sensor -> (option prefix, channels), in the order the white noise is drawn
SENSORS = (("mag", 3), ("temperature", 1), ("pressure", 1), ("accel", 3), ("gyro", 3))


class ChannelNoise:
    """The noise of one channel: white, flicker and random walk."""

    def __init__(
        self, deviation: float, density: float, instability: float, walk: float, drift: random.Random
    ) -> None:
        self.deviation = deviation
        self.density = density
        self.walk = walk
        self.drift = drift
        self.bias = 0.0
        self.flicker_sigma = instability * math.sqrt(math.log(FLICKER_RATIO) / math.pi)
        # started from their stationary spread: no settling at the start
        self.flicker = [drift.gauss(0, self.flicker_sigma) for _ in FLICKER_TIMES] if instability else []
        # dt, and each process's decay and shock for it
        self._step: tuple[float, tuple[float, ...], tuple[float, ...]] = (0.0, (), ())

    def sample(self, gauss: Any, dt: float) -> float:
        white = gauss(0, self.density / math.sqrt(dt) if self.density else self.deviation)
        if not self.flicker and not self.walk:
            return float(white)
        slow = 0.0
        if self.flicker:
            if self._step[0] != dt:
                decay = tuple(math.exp(-dt / tc) for tc in FLICKER_TIMES)
                shock = tuple(self.flicker_sigma * math.sqrt(1 - a * a) for a in decay)
                self._step = (dt, decay, shock)
            _, decay, shock = self._step
            gauss = self.drift.gauss
            self.flicker = [a * x + s * gauss(0, 1) for a, x, s in zip(decay, self.flicker, shock)]
            slow = sum(self.flicker)
        if self.walk:
            self.bias += self.walk * math.sqrt(dt) * self.drift.gauss(0, 1)
        return float(white) + slow + self.bias


class Noise(NamedTuple):
    """One sample's noise per sensor, in the sensor's units."""

    mag: tuple[float, float, float]
    temperature: float
    pressure: float
    accel: tuple[float, float, float]
    gyro: tuple[float, float, float]


class SensorNoise:
    """The noise of every channel for successive samples of a model."""

    def __init__(self, opts: Mapping[str, Any], rng: random.Random) -> None:
        self.rng = rng
        rate = opts["rate"]
        self.default_dt = 1.0 / rate if rate > 0 else 1.0 / 200.0
        self.last_t: float | None = None
        drift = random.Random(f"drift-{opts['seed']}")
        self.channels = [
            ChannelNoise(
                opts[f"{prefix}_noise"],
                opts[f"{prefix}_noise_density"],
                opts[f"{prefix}_bias_instability"],
                opts[f"{prefix}_random_walk"],
                drift,
            )
            for prefix, count in SENSORS
            for _ in range(count)
        ]

    def draw(self, t: float) -> Noise:
        """The noise of the sample taken at time ``t`` (s); the time since the
        previous sample sets the white noise's spread and the drifts' steps."""
        dt = t - self.last_t if self.last_t is not None and t > self.last_t else self.default_dt
        self.last_t = t
        gauss = self.rng.gauss
        n = [c.sample(gauss, dt) for c in self.channels]
        return Noise((n[0], n[1], n[2]), n[3], n[4], (n[5], n[6], n[7]), (n[8], n[9], n[10]))


def options() -> dict[str, tuple[Any, float, str]]:
    """The simulator's options of the three processes per sensor (name:
    (parser, default, help)); every default leaves the sensor as it was."""
    units = {"mag": "uT", "temperature": "degrees C", "pressure": "Pa", "accel": "g", "gyro": "degrees/s"}
    out: dict[str, tuple[Any, float, str]] = {}
    for prefix, _ in SENSORS:
        unit = units[prefix]
        out[f"{prefix}_noise_density"] = (
            float,
            0.0,
            f"{prefix} white-noise density, {unit}/sqrt(Hz); replaces {prefix}_noise when set",
        )
        out[f"{prefix}_bias_instability"] = (float, 0.0, f"{prefix} bias instability (flicker), {unit}")
        out[f"{prefix}_random_walk"] = (float, 0.0, f"{prefix} bias random walk, {unit}/s/sqrt(Hz)")
    return out
