"""The accelerometer and gyroscope calibration from a session of still poses
and the turns between them, fitted on the host (numpy).

The session: the device is held still in at least nine distinct poses (six
faces and the edges between them serve best) and turned by hand from each
to the next.  From the telemetry, sent while the device holds the neutral
IMU calibration, so that every reading is raw:

1. Still intervals, found by a variance detector: a sample is still when,
   over the ``window`` around it, every accelerometer axis varies less than
   ``still_accel`` g and every gyroscope axis less than ``still_gyro``
   degrees/s (standard deviations).  A run of still samples lasting at least
   ``min_hold`` seconds is a pose.
2. Accelerometer: offsets b and a symmetric matrix A such that every pose
   reads 1 g, ``|A·(r − b)| = 1`` for the mean reading r of each pose, by
   Levenberg-Marquardt from the identity.  A fit to the magnitude alone
   fixes A only up to a rotation; the symmetric one adds none, so the
   calibrated axes are the raw axes squared up evenly.
3. Gyroscope offsets: the mean rate over the still samples (the Earth's
   turn, 0.004 degrees/s at most, is below what this can tell).
4. Gyroscope matrix G (full 3×3): each turn between two poses is integrated
   with the calibrated rates G·(w − b_g), and G is fitted so that the turn
   carries the calibrated gravity direction of one pose onto the next
   (Gauss-Newton; the turns are integrated together, vectorised).  The
   gyroscope thus ends up in the accelerometer's calibrated axes.

The device's convention, as for the magnetometer: calibrated = A·(raw − b),
matrices row-major; accelerometer in g, gyroscope in degrees/s.

The verdict is good or a named reason (``Reason``); the front ends write a
calibration only when it is good.
"""

import enum
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy as np

    Array = np.ndarray[Any, np.dtype[np.float64]]

ACCEL_FIELDS = ("raw_acceleration_x_gs", "raw_acceleration_y_gs", "raw_acceleration_z_gs")
GYRO_FIELDS = (
    "raw_angular_rate_x_deg_per_s",
    "raw_angular_rate_y_deg_per_s",
    "raw_angular_rate_z_deg_per_s",
)
TIME_FIELD = "timestamp_seconds"
NEUTRAL_OFFSETS = (0.0, 0.0, 0.0)
IDENTITY = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0)
NEUTRAL = (NEUTRAL_OFFSETS, IDENTITY, NEUTRAL_OFFSETS, IDENTITY)

# the poses a person is asked for, in order: the six faces, then six edges
# (sensor axes pointing up)
SUGGESTED_POSES = ("+z", "+x", "-z", "-x", "+y", "-y", "+x+y", "+y+z", "+x+z", "-x+y", "-y+z", "+x-z")
GUIDANCE = (
    "Put the device on a table and hold it still in each pose it names, about "
    "3 s each: lying on each of its six faces, then leaning on edges, so that "
    "each axis points up and down in turn. Turn it by hand from one pose to the "
    "next; it needs nine distinct poses or more."
)


class Reason(enum.StrEnum):
    """The verdict: good, or why the session gave no calibration worth writing."""

    GOOD = "good"
    SATURATED = "saturation"
    MOVED = "moved during a hold"
    TOO_FEW_POSES = "too few distinct poses"
    POSES_TOO_ALIKE = "poses too alike"
    ROTATIONS_TOO_SMALL = "rotations too small"
    NO_IMPROVEMENT = "no improvement"


ADVICE = {
    Reason.GOOD: "the fit is good: keep it",
    Reason.SATURATED: "a reading sat at the sensor's range: turn more gently and keep the device still",
    Reason.MOVED: "the device moved while it should have been held still: rest it on the table",
    Reason.TOO_FEW_POSES: "hold more distinct poses (nine or more; faces and edges)",
    Reason.POSES_TOO_ALIKE: "a pose repeated another or the poses all lean one way: take the faces "
    "and edges not yet done",
    Reason.ROTATIONS_TOO_SMALL: "the turns between poses did not go about every axis: turn the device "
    "by a quarter turn or more about each of its axes",
    Reason.NO_IMPROVEMENT: "the device's calibration already fits these poses as well",
}


@dataclass(frozen=True)
class Thresholds:
    """The detector's and the verdict's settings (times in seconds)."""

    window: float = 0.5
    still_accel: float = 0.01  # g, standard deviation per axis
    still_gyro: float = 0.5  # degrees/s, standard deviation per axis
    # a wobble: not still, yet within these (a hand, not a turn): the
    # accelerometer's deviation per axis (g) and the mean speed (degrees/s)
    held_accel: float = 0.05
    held_gyro: float = 15.0
    min_hold: float = 2.0
    min_poses: int = 9
    distinct_degrees: float = 20.0  # poses closer than this are one
    min_spread: float = 0.12  # least eigenvalue of the mean of g·gᵀ over the poses
    min_turn_degrees: float = 60.0  # least turn about each axis, over all the turns
    improvement: float = 0.9  # the current calibration's residuals must exceed the new ones' by 1/this


@dataclass
class Pose:
    """A still interval: where, how long, what it read."""

    start: int  # first sample
    stop: int  # one past the last
    seconds: float
    accel: tuple[float, float, float]  # mean raw reading, g
    gyro: tuple[float, float, float]  # mean raw rate, degrees/s
    name: str = ""  # the nearest suggested pose
    repeat_of: int | None = None  # the index of an earlier pose it repeats
    residual_mg: float = math.nan  # |calibrated| - 1 g


@dataclass
class Turn:
    """The rotation from one pose to the next."""

    first: int
    angle_degrees: float
    residual_degrees: float = math.nan  # gravity predicted by the gyroscope vs measured


@dataclass
class ImuFit:
    """The fitted values (row-major matrices), how well they fit, and the verdict."""

    accel_offsets: list[float]
    accel_matrix: list[float]
    gyro_offsets: list[float]
    gyro_matrix: list[float]
    poses: list[Pose]
    turns: list[Turn]
    reason: Reason
    detail: str = ""
    samples: int = 0
    accel_rms_mg: float = math.nan
    gyro_rms_degrees: float = math.nan
    current_accel_rms_mg: float = math.nan
    current_gyro_rms_degrees: float = math.nan
    faces_covered: list[str] = field(default_factory=list)
    spread: float = math.nan

    @property
    def good(self) -> bool:
        return self.reason is Reason.GOOD

    @property
    def fitted(self) -> bool:
        """Whether the values are a fit (not the neutral placeholder)."""
        return not math.isnan(self.accel_rms_mg)

    def values(self) -> tuple[list[float], list[float], list[float], list[float]]:
        """The four arguments of ``set_imu_calibration``, in its order."""
        return self.accel_offsets, self.accel_matrix, self.gyro_offsets, self.gyro_matrix

    def summary(self) -> str:
        head = "good: keep it" if self.good else f"{self.reason}: {self.detail or ADVICE[self.reason]}"
        distinct = sum(1 for p in self.poses if p.repeat_of is None)
        text = f"{head}. {len(self.poses)} poses ({distinct} distinct), {len(self.turns)} turns"
        if self.fitted:
            text += (
                f"; gravity off by {self.accel_rms_mg:.2f} mg rms, turns off by "
                f"{self.gyro_rms_degrees:.3f} degrees rms"
            )
        return text


# ------------------------------------------------------------------ naming


def pose_vector(name: str) -> tuple[float, float, float]:
    """The unit up-vector (sensor axes) of a pose name such as ``-x`` or ``+x+y``."""
    v = [0.0, 0.0, 0.0]
    for i in range(0, len(name), 2):
        v["xyz".index(name[i + 1])] = 1.0 if name[i] == "+" else -1.0
    n = math.sqrt(sum(c * c for c in v))
    return (v[0] / n, v[1] / n, v[2] / n)


def describe_pose(name: str) -> str:
    """What a person does for the pose ``name``."""
    axes = [name[i : i + 2].upper() for i in range(0, len(name), 2)]
    other = ["-" + a[1] if a[0] == "+" else "+" + a[1] for a in axes]
    if len(axes) == 1:
        return f"{axes[0]} up: lay it on its {other[0]} face"
    return f"{axes[0]} and {axes[1]} up: lean it on the edge between its {other[0]} and {other[1]} faces"


def nearest_pose(direction: Sequence[float]) -> tuple[str, float]:
    """The suggested pose nearest ``direction`` and the angle to it, degrees."""
    n = math.sqrt(sum(c * c for c in direction)) or 1.0
    best, best_cos = SUGGESTED_POSES[0], -2.0
    for name in SUGGESTED_POSES:
        c = sum(a * b for a, b in zip(pose_vector(name), direction)) / n
        if c > best_cos:
            best, best_cos = name, c
    return best, math.degrees(math.acos(max(-1.0, min(1.0, best_cos))))


# --------------------------------------------------------------- the data


@dataclass
class Session:
    """The columns the fit reads: device time (s), raw acceleration (g),
    raw angular rate (degrees/s), one row per sample."""

    t: "Array"
    accel: "Array"
    gyro: "Array"

    @classmethod
    def from_rows(cls, rows: Any) -> "Session":
        """From ``get_data_array`` results (one or a list of them), or any
        mapping of the telemetry field names to columns."""
        import numpy as np

        batches = rows if isinstance(rows, (list, tuple)) else [rows]
        batches = [b for b in batches if len(b[TIME_FIELD])]
        if not batches:
            empty = np.zeros((0, 3))
            return cls(np.zeros(0), empty, empty.copy())

        def column(name: str) -> "Array":
            return np.concatenate([np.asarray(b[name], dtype=np.float64) for b in batches])

        return cls(
            column(TIME_FIELD),
            np.stack([column(n) for n in ACCEL_FIELDS], axis=1),
            np.stack([column(n) for n in GYRO_FIELDS], axis=1),
        )

    def __len__(self) -> int:
        return len(self.t)

    def rate(self) -> float:
        """Samples per second, from the device's timestamps."""
        import numpy as np

        if len(self.t) < 2:
            return 200.0
        dt = float(np.median(np.diff(self.t)))
        return 1.0 / dt if dt > 0 else 200.0


# --------------------------------------------------------------- detector


def _rolling(x: "Array", n: int) -> tuple["Array", "Array"]:
    """Mean and standard deviation of each column over the ``n`` samples
    centred on each row (the window shrinks at the ends)."""
    import numpy as np

    centre = x.mean(axis=0)
    c1 = np.concatenate([np.zeros((1, x.shape[1])), np.cumsum(x - centre, axis=0)])
    c2 = np.concatenate([np.zeros((1, x.shape[1])), np.cumsum((x - centre) ** 2, axis=0)])
    i = np.arange(len(x))
    lo = np.clip(i - n // 2, 0, len(x))
    hi = np.clip(i - n // 2 + n, 0, len(x))
    count = (hi - lo)[:, None]
    mean = (c1[hi] - c1[lo]) / count
    var = (c2[hi] - c2[lo]) / count - mean**2
    return mean + centre, np.sqrt(np.maximum(var, 0.0))


def _runs(mask: "np.ndarray[Any, Any]") -> list[tuple[int, int]]:
    """(start, stop) of each run of True in ``mask``."""
    import numpy as np

    padded = np.concatenate([[False], mask.astype(bool), [False]])
    edges = np.flatnonzero(padded[1:] != padded[:-1])
    return [(int(a), int(b)) for a, b in zip(edges[0::2], edges[1::2])]


@dataclass
class Stillness:
    """What the detector saw: the poses, the holds spoiled by movement, and
    whether (and for how long) the device is still at the end."""

    poses: list[Pose]
    moved: list[tuple[int, int]]  # sample ranges held but not still, long enough for a pose
    still_now: bool
    still_seconds: float


def detect(session: Session, thresholds: Thresholds = Thresholds()) -> Stillness:
    """The still intervals of ``session`` (see the module's documentation)."""
    import numpy as np

    n = len(session)
    if n == 0:
        return Stillness([], [], False, 0.0)
    rate = session.rate()
    w = max(3, int(round(thresholds.window * rate)))
    _, sa = _rolling(session.accel, w)
    _, sg = _rolling(session.gyro, w)
    still = (sa.max(axis=1) < thresholds.still_accel) & (sg.max(axis=1) < thresholds.still_gyro)
    # held: turning slowly about a place, as a hand does, not through a turn
    bias = np.median(session.gyro[still], axis=0) if still.any() else np.zeros(3)
    speed, _ = _rolling(np.linalg.norm(session.gyro - bias, axis=1)[:, None], w)
    held = (sa.max(axis=1) < thresholds.held_accel) & (speed[:, 0] < thresholds.held_gyro)
    poses: list[Pose] = []
    for start, stop in _runs(still):
        seconds = float(session.t[stop - 1] - session.t[start]) + 1.0 / rate
        if seconds < thresholds.min_hold:
            continue
        accel = session.accel[start:stop].mean(axis=0)
        gyro = session.gyro[start:stop].mean(axis=0)
        poses.append(
            Pose(start, stop, seconds, (float(accel[0]), float(accel[1]), float(accel[2])), _vec(gyro))
        )
    _mark_repeats(poses, thresholds)
    moved: list[tuple[int, int]] = []
    for start, stop in _runs(held & ~still):
        longest_still = max((b - a for a, b in _runs(still[start:stop])), default=0)
        if (stop - start) / rate >= thresholds.min_hold and longest_still / rate < thresholds.min_hold:
            moved.append((start, stop))
    tail = _runs(still)
    still_now = bool(still[-1])
    still_seconds = (tail[-1][1] - tail[-1][0]) / rate if still_now and tail else 0.0
    return Stillness(poses, moved, still_now, still_seconds)


def _vec(v: Any) -> tuple[float, float, float]:
    return (float(v[0]), float(v[1]), float(v[2]))


def _mark_repeats(poses: list[Pose], thresholds: Thresholds) -> None:
    cos_limit = math.cos(math.radians(thresholds.distinct_degrees))
    units: list[tuple[float, float, float]] = []
    for i, pose in enumerate(poses):
        norm = math.sqrt(sum(c * c for c in pose.accel)) or 1.0
        u = (pose.accel[0] / norm, pose.accel[1] / norm, pose.accel[2] / norm)
        pose.name, _ = nearest_pose(u)
        for j, other in enumerate(units):
            if poses[j].repeat_of is None and sum(a * b for a, b in zip(u, other)) > cos_limit:
                pose.repeat_of = j
                break
        units.append(u)


def saturated_channels(session: Session, repeats: int = 3) -> list[str]:
    """Channels whose largest or smallest value repeats exactly, at least
    ``repeats`` times, while the other channels change: a reading held at
    the sensor's range (noise never repeats a float that often)."""
    import numpy as np

    names = ["accelerometer " + a for a in "XYZ"] + ["gyroscope " + a for a in "XYZ"]
    data = np.concatenate([session.accel, session.gyro], axis=1)
    out: list[str] = []
    if len(data) < repeats:
        return out
    for c in range(6):
        for extreme in (data[:, c].max(), data[:, c].min()):
            at = data[:, c] == extreme
            if at.sum() >= repeats and np.ptp(np.delete(data[at], c, axis=1), axis=0).max() > 0:
                out.append(names[c])
                break
    return out


# -------------------------------------------------------------------- fits


def _sym(p: "Array") -> "Array":
    import numpy as np

    return np.array([[p[3], p[4], p[5]], [p[4], p[6], p[7]], [p[5], p[7], p[8]]])


def _accel_residuals(p: "Array", r: "Array") -> "Array":
    import numpy as np

    c = (r - p[:3]) @ _sym(p).T
    out: Array = np.linalg.norm(c, axis=1) - 1.0
    return out


def _levenberg_marquardt(fun: Any, p: "Array", iterations: int = 50) -> "Array":
    """Minimises the sum of squares of ``fun(p)`` (numeric Jacobian)."""
    import numpy as np

    lam = 1e-3
    res = fun(p)
    cost = float(res @ res)
    for _ in range(iterations):
        h = 1e-7
        jac = np.stack([(fun(p + h * e) - res) / h for e in np.eye(len(p))], axis=1)
        g = jac.T @ res
        a = jac.T @ jac
        while True:
            step = np.linalg.solve(a + lam * np.diag(np.diag(a) + 1e-12), -g)
            trial = p + step
            tres = fun(trial)
            tcost = float(tres @ tres)
            if tcost < cost:
                p, res, cost, lam = trial, tres, tcost, lam / 10
                break
            lam *= 10
            if lam > 1e12:
                return p
        if np.abs(step).max() < 1e-12:
            break
    return p


def fit_accelerometer(means: "Array") -> tuple["Array", "Array"]:
    """Offsets b and symmetric A with ``|A·(r − b)| = 1`` for the rows r of ``means``."""
    import numpy as np

    p0 = np.array([0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 0.0, 1.0])
    p = _levenberg_marquardt(lambda q: _accel_residuals(q, means), p0)
    return p[:3], _sym(p)


def _quat_mul(a: "Array", b: "Array") -> "Array":
    import numpy as np

    aw, ax, ay, az = np.moveaxis(a, -1, 0)
    bw, bx, by, bz = np.moveaxis(b, -1, 0)
    return np.stack(
        [
            aw * bw - ax * bx - ay * by - az * bz,
            aw * bx + ax * bw + ay * bz - az * by,
            aw * by - ax * bz + ay * bw + az * bx,
            aw * bz + ax * by - ay * bx + az * bw,
        ],
        axis=-1,
    )


def _integrate(rates: "Array", dt: "Array") -> "Array":
    """The rotation (quaternion) each row of ``rates`` (…, L, 3 in rad/s,
    trapezoidal between samples ``dt`` apart, …, L) turns through."""
    import numpy as np

    mid = 0.5 * (rates[..., 1:, :] + rates[..., :-1, :]) * dt[..., 1:, None]
    angle = np.linalg.norm(mid, axis=-1, keepdims=True)
    safe = np.where(angle > 0, angle, 1.0)
    q = np.concatenate([np.cos(angle / 2), np.where(angle > 0, np.sin(angle / 2) / safe, 0.5) * mid], axis=-1)
    # the product in order, pairwise: log2(L) steps instead of L
    while q.shape[-2] > 1:
        if q.shape[-2] % 2:
            pad = np.zeros(q.shape[:-2] + (1, 4))
            pad[..., 0] = 1.0
            q = np.concatenate([q, pad], axis=-2)
        q = _quat_mul(q[..., 0::2, :], q[..., 1::2, :])
    out: Array = q[..., 0, :]
    return out


def _rotate_back(q: "Array", v: "Array") -> "Array":
    """Rᵀ·v for the rotations q (…, 4) and vectors v (…, 3)."""
    import numpy as np

    w, u = q[..., :1], -q[..., 1:]  # the inverse rotation
    t = 2 * np.cross(u, v)
    out: Array = v + w * t + np.cross(u, t)
    return out


@dataclass
class _Turns:
    rates: "Array"  # (R, L, 3) raw rates less the bias, degrees/s, zero padded
    dt: "Array"  # (R, L)
    before: "Array"  # (R, 3) calibrated gravity direction of the pose before
    after: "Array"  # (R, 3) and after


def _collect_turns(session: Session, poses: Sequence[Pose], gyro_bias: "Array", g: "Array") -> _Turns:
    import numpy as np

    spans = [(a.stop - 1, b.start + 1) for a, b in zip(poses, poses[1:])]
    length = max((b - a for a, b in spans), default=1)
    rates = np.zeros((len(spans), length, 3))
    dt = np.zeros((len(spans), length))
    for k, (a, b) in enumerate(spans):
        rates[k, : b - a] = session.gyro[a:b] - gyro_bias
        dt[k, 1 : b - a] = np.diff(session.t[a:b])
    return _Turns(rates, dt, g[:-1], g[1:])


def _turn_residuals(matrices: "Array", turns: _Turns) -> "Array":
    """Predicted minus measured gravity after each turn, for each matrix
    (B, 3, 3): (B, R, 3)."""
    import numpy as np

    w = np.radians(np.einsum("bij,rlj->brli", matrices, turns.rates))
    q = _integrate(w, np.broadcast_to(turns.dt, w.shape[:-1]))
    out: Array = _rotate_back(q, turns.before[None]) - turns.after[None]
    return out


def fit_gyroscope(turns: _Turns, iterations: int = 8) -> "Array":
    """The matrix G that best carries gravity through the turns (Gauss-Newton)."""
    import numpy as np

    g = np.eye(3)
    h = 1e-6
    for _ in range(iterations):
        batch = np.concatenate([g[None], g[None] + h * np.eye(9).reshape(9, 3, 3)])
        res = _turn_residuals(batch, turns).reshape(10, -1)
        jac = ((res[1:] - res[0]) / h).T
        step, *_ = np.linalg.lstsq(jac, -res[0], rcond=None)
        g = g + step.reshape(3, 3)
        if np.abs(step).max() < 1e-10:
            break
    return g


def _turn_angles(turns: _Turns) -> "Array":
    """Rotation vectors (radians) of the raw turns, (R, 3)."""
    import numpy as np

    q = _integrate(np.radians(turns.rates), turns.dt)
    s = np.linalg.norm(q[:, 1:], axis=1)
    angle = 2 * np.arctan2(s, np.abs(q[:, 0]))
    axis = q[:, 1:] * np.sign(q[:, :1] + 1e-300) / np.where(s > 0, s, 1.0)[:, None]
    out: Array = axis * angle[:, None]
    return out


# ----------------------------------------------------------------- verdict


def _current_residuals(
    means: "Array", raw_turns: _Turns, current: Sequence[Sequence[float]]
) -> tuple[float, float]:
    """RMS residuals (mg, degrees) of the calibration the device had, on
    the same poses and turns."""
    import numpy as np

    ab, am, gb, gm = (np.asarray(v, dtype=np.float64) for v in current)
    c = (means - ab) @ am.reshape(3, 3).T
    accel_rms = float(np.sqrt(np.mean((np.linalg.norm(c, axis=1) - 1.0) ** 2))) * 1000
    g = c / np.linalg.norm(c, axis=1, keepdims=True)
    # padding has no time step, so its shifted rates turn nothing
    turns = _Turns(raw_turns.rates - gb, raw_turns.dt, g[:-1], g[1:])
    res = _turn_residuals(gm.reshape(1, 3, 3), turns)[0]
    gyro_rms = float(np.degrees(np.sqrt(np.mean(np.sum(res**2, axis=1)))))
    return accel_rms, gyro_rms


def fit_imu(
    session: Session,
    thresholds: Thresholds = Thresholds(),
    current: Sequence[Sequence[float]] | None = None,
) -> ImuFit:
    """The calibration of ``session`` (raw readings: taken under the neutral
    IMU calibration) with its verdict.  ``current``: the four value lists of
    the calibration the device had, judged on the same poses (the reason
    ``no improvement`` when the new fit does not beat it)."""
    import numpy as np

    stillness = detect(session, thresholds)
    poses = stillness.poses
    fit = ImuFit(
        list(NEUTRAL_OFFSETS),
        list(IDENTITY),
        list(NEUTRAL_OFFSETS),
        list(IDENTITY),
        poses,
        [],
        Reason.GOOD,
        samples=len(session),
    )

    def fail(reason: Reason, detail: str) -> ImuFit:
        fit.reason, fit.detail = reason, f"{detail}; {ADVICE[reason]}"
        return fit

    distinct = [p for p in poses if p.repeat_of is None]
    fit.faces_covered = sorted({p.name for p in distinct if len(p.name) == 2})
    if distinct:
        units = np.array([p.accel for p in distinct])
        units /= np.linalg.norm(units, axis=1, keepdims=True)
        fit.spread = float(np.linalg.eigvalsh(units.T @ units / len(units))[0])
    saturated = saturated_channels(session)
    if saturated:
        return fail(Reason.SATURATED, f"{', '.join(saturated)} held at the end of its range")
    if stillness.moved:
        a, b = stillness.moved[0]
        at = session.t[a] - session.t[0]
        return fail(
            Reason.MOVED,
            f"held for {(b - a) / session.rate():.1f} s from {at:.1f} s on without keeping still",
        )
    if len(distinct) < thresholds.min_poses:
        if len(poses) >= thresholds.min_poses:
            repeats = ", ".join(
                f"{p.name} (pose {i + 1})" for i, p in enumerate(poses) if p.repeat_of is not None
            )
            return fail(
                Reason.POSES_TOO_ALIKE,
                f"{len(distinct)} distinct poses of {thresholds.min_poses} needed: {repeats} repeated an earlier one",
            )
        return fail(
            Reason.TOO_FEW_POSES, f"{len(distinct)} distinct poses held, {thresholds.min_poses} needed"
        )
    if not fit.spread >= thresholds.min_spread:
        return fail(Reason.POSES_TOO_ALIKE, f"the poses lean one way (spread {fit.spread:.2f})")

    means = np.array([p.accel for p in poses])
    ab, am = fit_accelerometer(means)
    still = np.zeros(len(session), dtype=bool)
    for p in poses:
        still[p.start : p.stop] = True
    gb = session.gyro[still].mean(axis=0)
    calibrated = (means - ab) @ am.T
    residual = np.linalg.norm(calibrated, axis=1) - 1.0
    for p, r in zip(poses, residual):
        p.residual_mg = float(r * 1000)
    fit.accel_rms_mg = float(np.sqrt(np.mean(residual**2)) * 1000)
    g = calibrated / np.linalg.norm(calibrated, axis=1, keepdims=True)
    turns = _collect_turns(session, poses, gb, g)
    vectors = _turn_angles(turns)
    fit.turns = [Turn(k, float(np.degrees(np.linalg.norm(v)))) for k, v in enumerate(vectors)]
    least = math.degrees(math.sqrt(max(float(np.linalg.eigvalsh(vectors.T @ vectors)[0]), 0.0)))
    fit.accel_offsets, fit.accel_matrix = ab.tolist(), am.reshape(9).tolist()
    fit.gyro_offsets = gb.tolist()
    if least < thresholds.min_turn_degrees:
        return fail(
            Reason.ROTATIONS_TOO_SMALL,
            f"the turns went {least:.0f} degrees about the axis turned least, "
            f"{thresholds.min_turn_degrees:g} needed",
        )
    gm = fit_gyroscope(turns)
    res = _turn_residuals(gm[None], turns)[0]
    angles = np.degrees(np.linalg.norm(res, axis=1))
    for turn, a in zip(fit.turns, angles):
        turn.residual_degrees = float(a)
    fit.gyro_matrix = gm.reshape(9).tolist()
    fit.gyro_rms_degrees = float(np.sqrt(np.mean(angles**2)))
    if current is not None:
        raw_turns = _collect_turns(session, poses, np.zeros(3), g)
        fit.current_accel_rms_mg, fit.current_gyro_rms_degrees = _current_residuals(means, raw_turns, current)
        k = thresholds.improvement
        if (
            fit.current_accel_rms_mg * k <= fit.accel_rms_mg
            and fit.current_gyro_rms_degrees * k <= fit.gyro_rms_degrees
        ):
            return fail(
                Reason.NO_IMPROVEMENT,
                f"the current calibration misses gravity by {fit.current_accel_rms_mg:.2f} mg and the "
                f"turns by {fit.current_gyro_rms_degrees:.3f} degrees rms, the new one by "
                f"{fit.accel_rms_mg:.2f} mg and {fit.gyro_rms_degrees:.3f} degrees",
            )
    return fit


def next_pose(done: Sequence[Pose]) -> str | None:
    """The first suggested pose not yet held (None when all are)."""
    taken = {p.name for p in done}
    return next((name for name in SUGGESTED_POSES if name not in taken), None)


def columns(values: Mapping[str, Any]) -> Session:
    """A Session from plain columns keyed by the telemetry field names."""
    return Session.from_rows(values)
