"""A calibration session as a person does it on a table: the device held
still in a series of poses, turned from each to the next about one axis.

A script is a comma-separated list of poses, each the direction of the
sensor axes that points up: a face (``+z``: lying flat, ``-x``: standing on
its +X side) or an edge between two faces (``+x+y``).  A ``~`` before a pose
makes its hold wobble (about 2 degrees at 1 Hz: a hand that does not keep
still); naming a pose twice repeats it.  The device rests in the first pose
until the host writes the neutral IMU calibration (a calibration tool
starts there, to read raw values),
then holds each pose for ``hold`` seconds and turns to the next in ``turn``
seconds with a smooth start and stop, and rests in the last.
"""

import math
from collections.abc import Sequence

Vec3 = tuple[float, float, float]
Quaternion = tuple[float, float, float, float]

# the standard session: six faces, then six edges, so that every direction
# of gravity and every turning axis is seen
DEFAULT_SCRIPT = "+z,+x,-z,-x,+y,-y,+x+y,+y+z,+x+z,-x+y,-y+z,+x-z"
WOBBLE_DEGREES = 2.0
WOBBLE_HZ = 1.0
_AXES = {"x": 0, "y": 1, "z": 2}
_K = math.sqrt(0.5)


def parse_pose(text: str) -> Vec3:
    """The unit up-vector, in sensor axes, of a pose such as ``-x`` or ``+x+y``."""
    t = text.strip().lower()
    v = [0.0, 0.0, 0.0]
    if not t or len(t) % 2:
        raise ValueError(f"pose {text!r}: expected a signed axis such as +z or an edge such as +x+y")
    for i in range(0, len(t), 2):
        sign, axis = t[i], t[i + 1]
        if sign not in "+-" or axis not in _AXES or v[_AXES[axis]]:
            raise ValueError(f"pose {text!r}: expected a signed axis such as +z or an edge such as +x+y")
        v[_AXES[axis]] = 1.0 if sign == "+" else -1.0
    if len(t) > 4:
        raise ValueError(f"pose {text!r}: a face or an edge (at most two axes)")
    n = math.sqrt(sum(c * c for c in v))
    return (v[0] / n, v[1] / n, v[2] / n)


def parse_script(text: str) -> list[tuple[Vec3, bool]]:
    """(up-vector, wobbles) per pose of ``text`` ('' is the standard session)."""
    out: list[tuple[Vec3, bool]] = []
    for item in (text or DEFAULT_SCRIPT).split(","):
        item = item.strip()
        wobble = item.startswith("~")
        out.append((parse_pose(item.lstrip("~")), wobble))
    return out


def _mul(a: Quaternion, b: Quaternion) -> Quaternion:
    aw, ax, ay, az = a
    bw, bx, by, bz = b
    return (
        aw * bw - ax * bx - ay * by - az * bz,
        aw * bx + ax * bw + ay * bz - az * by,
        aw * by - ax * bz + ay * bw + az * bx,
        aw * bz + ax * by - ay * bx + az * bw,
    )


def _about(axis: Sequence[float], angle: float) -> Quaternion:
    s = math.sin(angle / 2)
    return (math.cos(angle / 2), axis[0] * s, axis[1] * s, axis[2] * s)


def _level(up_sensor: Vec3) -> Quaternion:
    """The attitude whose body vector for ``up_sensor`` points up (+Z of the
    reference), by the shortest turn."""
    x, y, z = up_sensor
    u = (_K * x - _K * y, _K * x + _K * y, z)  # sensor axes to body axes
    axis = (u[1], -u[0], 0.0)  # u × e_z
    n = math.hypot(axis[0], axis[1])
    if n < 1e-12:
        return (1.0, 0.0, 0.0, 0.0) if z > 0 else (0.0, 1.0, 0.0, 0.0)
    return _about((axis[0] / n, axis[1] / n, 0.0), math.acos(max(-1.0, min(1.0, z))))


def _turn(a: Quaternion, b: Quaternion) -> tuple[Vec3, float]:
    """Axis (body) and angle of the turn from ``a`` to ``b``."""
    d = _mul((a[0], -a[1], -a[2], -a[3]), b)
    if d[0] < 0:
        d = (-d[0], -d[1], -d[2], -d[3])
    s = math.sqrt(d[1] * d[1] + d[2] * d[2] + d[3] * d[3])
    if s < 1e-12:
        return (1.0, 0.0, 0.0), 0.0
    return (d[1] / s, d[2] / s, d[3] / s), 2 * math.atan2(s, d[0])


class PoseScript:
    """Attitude and body rate over time for one script."""

    def __init__(self, text: str, hold: float, turn: float) -> None:
        poses = parse_script(text)
        self.attitudes = [_level(up) for up, _ in poses]
        self.wobbles = [w for _, w in poses]
        self.turns = [_turn(a, b) for a, b in zip(self.attitudes, self.attitudes[1:])]
        self.hold = hold
        self.turn = turn
        self.started: float | None = None  # time of the start, on the model's clock

    def start(self, t: float) -> None:
        if self.started is None:
            self.started = t

    def attitude(self, t: float) -> tuple[Quaternion, Vec3]:
        """Quaternion and body angular rate (rad/s) at time ``t``."""
        if self.started is None or t < self.started:
            return self.attitudes[0], (0.0, 0.0, 0.0)
        tau = t - self.started
        period = self.hold + self.turn
        k = int(tau // period) if period > 0 else len(self.turns)
        within = tau - k * period
        if k >= len(self.turns) or within < self.hold:
            k = min(k, len(self.attitudes) - 1)
            q = self.attitudes[k]
            if not self.wobbles[k]:
                return q, (0.0, 0.0, 0.0)
            # about an axis oblique to all three, so every gyro axis sees it
            axis = (0.6, 0.48, 0.64)
            amp, w = math.radians(WOBBLE_DEGREES), 2 * math.pi * WOBBLE_HZ
            q = _mul(q, _about(axis, amp * math.sin(w * within)))
            rate = amp * w * math.cos(w * within)
            return q, (axis[0] * rate, axis[1] * rate, axis[2] * rate)
        axis, angle = self.turns[k]
        x = (within - self.hold) / self.turn
        s = (1 - math.cos(math.pi * x)) / 2
        rate = angle * math.pi / (2 * self.turn) * math.sin(math.pi * x)
        q = _mul(self.attitudes[k], _about(axis, angle * s))
        return q, (axis[0] * rate, axis[1] * rate, axis[2] * rate)
