"""Several simulated devices rigidly mounted on one body.

Each device of a rig is a simulator of its own (its own process, port,
sensor noise, clock offset and drift, link delay and bursts); what makes
them one rig is that they share the motion.  Give every one the same
``rig_origin`` (a ``time.monotonic()`` reading: that clock is one for every
process of the machine), the same ``shake_*`` options, and each its own
``mount`` (how it sits on the body) and ``seed``:

- the motion is evaluated at ``time.monotonic() - rig_origin`` rather than
  at the time since each simulator started, so the climb, the tumble (with
  ``motion=tumble``) and the shake happen at one true instant for all;
- a shake (``shake_style=shake``: a hand shaking the body, band-limited
  noise of 2 to 12 Hz) or taps (``shake_style=taps``: short knocks about
  every 0.4 s) from ``shake_at`` for ``shake_seconds`` seconds of the shared
  motion turns the body about one axis and moves it along all three,
  identically for every device whose ``shake_seed`` is the same;
- ``mount`` (a rotation matrix taking the device's axes into the rig's)
  turns each device's view of that motion; magnitudes stay the same.

The devices sit close together: the lever arm between them (the centripetal
and tangential accelerations of a rotation about another point) is left out.

The truth of a rig is each device's ``truth_log``: every sample's device
timestamp and the host time it was truly taken at.  :func:`read_truth` and
:func:`true_times` map a recording's rows to their true sample times.
"""

import math
import random
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy as np

G0 = 9.80665
IDENTITY = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0)
SHAKE_BAND = (2.0, 12.0)  # Hz: what a hand does
SHAKE_PARTS = 12  # sinusoids summed: enough for a signal with no repeat in a shake
RAMP = 0.25  # s: the shake fades in and out, as a hand starts and stops
TAP_EVERY = 0.4  # s, on average
TAP_WIDTH = 0.006  # s: the standard deviation of a knock's Gaussian pulse
SHAKE_ACCELERATION = 0.5  # g per axis (rms) of the shake's linear part

Vec3 = tuple[float, float, float]
Quaternion = tuple[float, float, float, float]


def check_mount(m: Sequence[float]) -> None:
    """ValueError unless ``m`` (9 numbers, row-major) is a rotation."""
    for i in range(3):
        for j in range(3):
            dot = sum(m[3 * i + k] * m[3 * j + k] for k in range(3))
            if abs(dot - (1.0 if i == j else 0.0)) > 1e-6:
                raise ValueError("mount must be a rotation matrix (orthonormal rows)")
    det = (
        m[0] * (m[4] * m[8] - m[5] * m[7])
        - m[1] * (m[3] * m[8] - m[5] * m[6])
        + m[2] * (m[3] * m[7] - m[4] * m[6])
    )
    if det < 0:
        raise ValueError("mount must be a rotation matrix, not a reflection")


def _quaternion_of(m: Sequence[float]) -> Quaternion:
    """The unit quaternion (w, x, y, z) of the rotation matrix ``m``."""
    trace = m[0] + m[4] + m[8]
    if trace > 0:
        s = 2.0 * math.sqrt(1.0 + trace)
        return (s / 4, (m[7] - m[5]) / s, (m[2] - m[6]) / s, (m[3] - m[1]) / s)
    if m[0] > m[4] and m[0] > m[8]:
        s = 2.0 * math.sqrt(1.0 + m[0] - m[4] - m[8])
        return ((m[7] - m[5]) / s, s / 4, (m[1] + m[3]) / s, (m[2] + m[6]) / s)
    if m[4] > m[8]:
        s = 2.0 * math.sqrt(1.0 + m[4] - m[0] - m[8])
        return ((m[2] - m[6]) / s, (m[1] + m[3]) / s, s / 4, (m[5] + m[7]) / s)
    s = 2.0 * math.sqrt(1.0 + m[8] - m[0] - m[4])
    return ((m[3] - m[1]) / s, (m[2] + m[6]) / s, (m[5] + m[7]) / s, s / 4)


def _multiply(a: Quaternion, b: Quaternion) -> Quaternion:
    aw, ax, ay, az = a
    bw, bx, by, bz = b
    return (
        aw * bw - ax * bx - ay * by - az * bz,
        aw * bx + ax * bw + ay * bz - az * by,
        aw * by - ax * bz + ay * bw + az * bx,
        aw * bz + ax * by - ay * bx + az * bw,
    )


def _transposed_times(m: Sequence[float], v: Sequence[float]) -> Vec3:
    return (
        m[0] * v[0] + m[3] * v[1] + m[6] * v[2],
        m[1] * v[0] + m[4] * v[1] + m[7] * v[2],
        m[2] * v[0] + m[5] * v[1] + m[8] * v[2],
    )


def _envelope(tau: float, length: float) -> tuple[float, float]:
    """A smooth rise and fall over ``length`` seconds, and its derivative."""
    ramp = min(RAMP, length / 2)
    if tau <= 0 or tau >= length:
        return 0.0, 0.0
    for x, sign in ((tau, 1.0), (length - tau, -1.0)):
        if x < ramp:
            return (1 - math.cos(math.pi * x / ramp)) / 2, sign * math.pi / (2 * ramp) * math.sin(
                math.pi * x / ramp
            )
    return 1.0, 0.0


class RigMotion:
    """The shared part of a rig's motion (the shake or taps) and one device's
    mount on the rig.  ``attitude`` and ``force`` turn what the simulated
    device's own motion gives into what this device on the rig measures."""

    def __init__(self, opts: Mapping[str, Any]) -> None:
        mount: tuple[float, ...] = tuple(opts["mount"])
        check_mount(mount)
        self.mount = mount
        self.mount_q = _quaternion_of(mount)
        self.start = float(opts["shake_at"])
        self.length = float(opts["shake_seconds"])
        self.taps = opts["shake_style"] == "taps"
        rng = random.Random(opts["shake_seed"])
        # the axis the body turns about, and the shake's parts: (amplitude,
        # angular frequency, phase) of the angle and of each linear axis
        axis = [rng.gauss(0, 1) for _ in range(3)]
        norm = math.sqrt(sum(a * a for a in axis))
        self.axis: Vec3 = (axis[0] / norm, axis[1] / norm, axis[2] / norm)
        rate = math.radians(float(opts["shake_rate"]))
        if self.taps:
            # knock k at about k x TAP_EVERY, each of its own strength
            count = max(1, int(self.length / TAP_EVERY))
            spacing = self.length / (count + 1)
            self.knocks = [
                (spacing * (k + 1) + rng.uniform(-0.1, 0.1) * spacing, rng.uniform(0.6, 1.0))
                for k in range(count)
            ]
            # angle pulse A exp(-x^2 / 2 w^2) peaks in rate at A e^-1/2 / w
            self.tap_angle = rate * TAP_WIDTH * math.exp(0.5)
            self.tap_direction = [rng.gauss(0, 1) for _ in range(3)]
        else:
            self.angle_parts = self._parts(rng, rate, derivative=1)
            self.linear_parts = [self._parts(rng, SHAKE_ACCELERATION * G0, derivative=0) for _ in range(3)]

    @staticmethod
    def _parts(rng: random.Random, rms: float, derivative: int) -> list[tuple[float, float, float]]:
        """Sinusoids of random frequency and phase whose ``derivative``-th
        derivative has the root mean square ``rms``."""
        parts = [
            (1.0, 2 * math.pi * rng.uniform(*SHAKE_BAND), rng.uniform(0, 2 * math.pi))
            for _ in range(SHAKE_PARTS)
        ]
        power = sum((w**derivative) ** 2 / 2 for _, w, _ in parts)
        scale = rms / math.sqrt(power)
        return [(scale, w, phase) for _, w, phase in parts]

    @classmethod
    def from_options(cls, opts: Mapping[str, Any]) -> "RigMotion | None":
        """The rig's part of a device's motion, None when it has none."""
        if opts["shake_seconds"] <= 0 and tuple(opts["mount"]) == IDENTITY:
            return None
        return cls(opts)

    def _angle(self, t: float) -> tuple[float, float]:
        """The shake's angle about its axis (rad) and its rate (rad/s)."""
        tau = t - self.start
        if self.taps:
            angle = rate = 0.0
            for at, strength in self.knocks:
                x = (tau - at) / TAP_WIDTH
                if abs(x) < 8:
                    pulse = strength * self.tap_angle * math.exp(-x * x / 2)
                    angle += pulse
                    rate -= pulse * x / TAP_WIDTH
            return angle, rate
        env, env_rate = _envelope(tau, self.length)
        if env == 0.0:
            return 0.0, 0.0
        s = c = 0.0
        for amplitude, w, phase in self.angle_parts:
            s += amplitude * math.sin(w * tau + phase)
            c += amplitude * w * math.cos(w * tau + phase)
        return env * s, env_rate * s + env * c

    def linear(self, t: float) -> Vec3:
        """The shake's acceleration in the reference frame, m/s^2."""
        tau = t - self.start
        if self.taps:
            out = [0.0, 0.0, 0.0]
            for at, strength in self.knocks:
                x = (tau - at) / TAP_WIDTH
                if abs(x) < 8:
                    # a knock jolts the body one way, then it stops
                    pulse = -strength * x * math.exp(-x * x / 2) * 3 * G0
                    for i in range(3):
                        out[i] += pulse * self.tap_direction[i]
            return (out[0], out[1], out[2])
        env, _ = _envelope(tau, self.length)
        if env == 0.0:
            return (0.0, 0.0, 0.0)
        return tuple(  # type: ignore[return-value]
            env * sum(a * math.sin(w * tau + phase) for a, w, phase in parts) for parts in self.linear_parts
        )

    def attitude(self, t: float, q: Quaternion, omega: Sequence[float]) -> tuple[Quaternion, Vec3]:
        """The device's attitude and body rate (rad/s) for the body's own
        ``q`` and ``omega``: the shake's turn, then the mount's."""
        angle, rate = self._angle(t)
        u = self.axis
        half = angle / 2
        sh = math.sin(half)
        shake: Quaternion = (math.cos(half), u[0] * sh, u[1] * sh, u[2] * sh)
        # body rate of R S: S^T omega + u rate; the mount turns it once more
        s = _matrix_of(shake)
        w = _transposed_times(s, omega)
        w = (w[0] + u[0] * rate, w[1] + u[1] * rate, w[2] + u[2] * rate)
        return _multiply(_multiply(q, shake), self.mount_q), _transposed_times(self.mount, w)

    def force(self, t: float, r: Sequence[float], force: Sequence[float]) -> Vec3:
        """The device's specific force (g, body axes) with the shake's
        acceleration added; ``r`` is the device's attitude matrix."""
        lin = self.linear(t)
        extra = _transposed_times(r, lin)
        return (force[0] + extra[0] / G0, force[1] + extra[1] / G0, force[2] + extra[2] / G0)


def _matrix_of(q: Quaternion) -> tuple[float, ...]:
    w, x, y, z = q
    return (
        1 - 2 * (y * y + z * z),
        2 * (x * y - w * z),
        2 * (x * z + w * y),
        2 * (x * y + w * z),
        1 - 2 * (x * x + z * z),
        2 * (y * z - w * x),
        2 * (x * z - w * y),
        2 * (y * z + w * x),
        1 - 2 * (x * x + y * y),
    )


def read_truth(path: str) -> "np.ndarray[Any, np.dtype[np.float64]]":
    """A truth log as rows of (device timestamp, true host time)."""
    import numpy as np

    return np.fromfile(path, dtype="<f8").reshape(-1, 2)


def true_times(
    timestamps: "np.ndarray[Any, np.dtype[Any]]", truth: "np.ndarray[Any, np.dtype[np.float64]]"
) -> "np.ndarray[Any, np.dtype[np.float64]]":
    """The true host time of each device timestamp in ``timestamps`` (NaN for
    one the truth does not hold), for a device that was not rebooted."""
    import numpy as np

    order = np.argsort(truth[:, 0], kind="stable")
    keys, values = truth[order, 0], truth[order, 1]
    at = np.clip(np.searchsorted(keys, timestamps), 0, max(len(keys) - 1, 0))
    if not len(keys):
        return np.full(len(timestamps), np.nan)
    found = keys[at] == timestamps
    return np.where(found, values[at], np.nan)


def sample_rows(
    options: Mapping[str, Any],
    times: "np.ndarray[Any, np.dtype[np.float64]]",
    synced: "np.ndarray[Any, np.dtype[np.float64]]",
) -> "np.ndarray[Any, np.dtype[np.void]]":
    """What one device of a rig (simulator ``options``) measures at the true
    times ``times`` (seconds of the shared motion), as rows of
    ``get_data_array`` with the synced times ``synced`` and the device
    clock reading the true time: without a link, for studies of hours of
    motion in seconds.  The values the host derives are left 0."""
    import numpy as np

    from ..protocol import TELEMETRY_FIELDS
    from ..recording import packet_dtype
    from .motion import SensorModel
    from .options import resolve

    model = SensorModel(resolve(options))
    values = np.array([model.sample(t, t) for t in times.tolist()], dtype=np.float64).reshape(-1, 18)
    rows = np.zeros(len(times), packet_dtype())
    for i, name in enumerate(TELEMETRY_FIELDS):
        rows[name] = values[:, i]
    rows["host_time_seconds"] = synced
    rows["synced_time_seconds"] = synced
    return rows
