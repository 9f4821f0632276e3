"""What the simulated device measures and estimates at a given moment.

Frames.  The reference frame has Z up and X towards magnetic north.  The
device's body frame is carried into it by the attitude quaternion q sent in
each sample (v_ref = q v_body q*).

The host does not apply q to the raw accelerometer reading directly: it
first turns the reading 45 degrees about Z (bx = K ax - K ay, by = K ax + K ay,
bz = az, K = 1/sqrt 2) and only then rotates the result by q.  The sensors of
this device therefore sit in a frame turned -45 degrees about Z from the
body frame, and every vector is reported there: sensor = Rz(-45) body.  The
host's turn then brings the reading back into the body frame exactly, and
q carries it to the reference frame, so a device at rest shows (0, 0, 1) g
after the host's rotation whatever its attitude.  The gyroscope and the
magnetometer share the same sensor frame, so the host's one 45-degree turn
maps any of the three readings into body axes.

Motion.  The tumble is q = qz(psi) qx(theta) qz(phi) with the three Z-X-Z
Euler angles growing at constant, unrelated rates.  theta sweeps every tilt
while phi spins fast about the body axis, so within about five seconds the
body-frame field direction visits enough of the sphere for an ellipsoid fit
to recover the hard-iron offset to a few hundredths of a microtesla.  The
angular rate sent is the body rate of that rotation (in the sensor frame).
With ``motion=poses`` the attitude follows a calibration session instead
(pose_script); the accelerometer's and gyroscope's own errors, their range
and the IMU calibration the host writes are imu_errors'.

Altitude follows a slow climb and descent h(t) = base + amp (1 - cos wt) / 2;
pressure is the standard atmosphere at h, and the vertical acceleration of
the profile is added to the specific force, so accelerometer, pressure,
position and velocity all agree.
"""

import math
import random
from collections.abc import Mapping, Sequence
from typing import Any

from .imu_errors import ImuErrors
from .noise import SensorNoise
from .pose_script import PoseScript
from .rig import RigMotion

K = math.sqrt(0.5)
G0 = 9.80665  # m/s^2 per g

Vec3 = tuple[float, float, float]
Quaternion = tuple[float, float, float, float]  # (w, x, y, z)


def pressure_at(altitude_m: float) -> float:
    """Standard atmosphere (troposphere) pressure in Pa at ``altitude_m``."""
    # a power of a float is typed Any: negative bases give complex numbers
    ratio: float = (1.0 - 2.25577e-5 * altitude_m) ** 5.25588
    return 101325.0 * ratio


def altitude_at(pressure_pa: float) -> float:
    """Inverse of :func:`pressure_at`."""
    ratio: float = (pressure_pa / 101325.0) ** (1.0 / 5.25588)
    return (1.0 - ratio) / 2.25577e-5


def mat_vec(m: Sequence[float], v: Sequence[float]) -> Vec3:
    return (
        m[0] * v[0] + m[1] * v[1] + m[2] * v[2],
        m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
        m[6] * v[0] + m[7] * v[1] + m[8] * v[2],
    )


def quat_to_matrix(w: float, x: float, y: float, z: float) -> tuple[float, ...]:
    """Row-major rotation matrix of the unit quaternion (w, x, y, z)."""
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


def body_to_sensor(v: Sequence[float]) -> Vec3:
    """Rz(-45 degrees) v: body axes to the sensor axes."""
    return (K * v[0] + K * v[1], -K * v[0] + K * v[1], v[2])


IDENTITY = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0)


class SensorModel:
    """Computes telemetry payloads from the options of the simulator."""

    def __init__(self, opts: Mapping[str, Any]) -> None:
        self.still = opts["motion"] == "still"
        self.poses = (
            PoseScript(opts["pose_script"], opts["pose_hold"], opts["pose_turn"])
            if opts["motion"] == "poses"
            else None
        )
        self.rates = tuple(math.radians(r) for r in opts["tumble_rates"])
        self.phase = (0.3, 0.7, 0.1)  # start away from gimbal alignment
        inc = math.radians(opts["inclination"])
        f = opts["field_strength"]
        self.field_ref: Vec3 = (f * math.cos(inc), 0.0, -f * math.sin(inc))
        self.hard_iron: tuple[float, ...] = tuple(opts["hard_iron"])
        self.soft_iron: tuple[float, ...] = tuple(opts["soft_iron"])
        self.mag_noise = opts["mag_noise"]
        self.accel_noise = opts["accel_noise"]
        self.gyro_noise = opts["gyro_noise"]
        self.pressure_noise = opts["pressure_noise"]
        self.temperature = opts["temperature"]
        self.temperature_noise = opts["temperature_noise"]
        self.base_altitude = opts["base_altitude"]
        # a climb would add its acceleration to the poses' 1 g
        resting = self.still or self.poses is not None
        self.altitude_amplitude = 0.0 if resting else opts["altitude_amplitude"]
        period = opts["altitude_period"]
        self.altitude_omega = 2 * math.pi / period if period > 0 else 0.0
        self.rng = random.Random(opts["seed"])
        self.noise = SensorNoise(opts, self.rng)
        # calibration written with the magnetometer calibration command
        self.mag_offsets: tuple[float, ...] = (0.0, 0.0, 0.0)
        self.mag_matrix: tuple[float, ...] = IDENTITY
        self.imu = ImuErrors(opts)
        # (timestamp, true specific force, true rate) per sample, when asked for
        self.truth: list[tuple[float, ...]] | None = [] if opts["imu_truth_log"] else None
        self.options = opts
        self.rig = RigMotion.from_options(opts)

    def shake(self, start: float, seconds: float, style: str) -> None:
        """A shake (or taps) from ``start`` (motion time) for ``seconds``."""
        self.rig = RigMotion(dict(self.options, shake_at=start, shake_seconds=seconds, shake_style=style))

    def attitude(self, t: float) -> tuple[Quaternion, Vec3]:
        """Quaternion (w, x, y, z) and body angular rate (rad/s) at time t."""
        if self.poses is not None:
            return self.poses.attitude(t)
        if self.still:
            return (1.0, 0.0, 0.0, 0.0), (0.0, 0.0, 0.0)
        w1, w2, w3 = self.rates
        psi = w1 * t + self.phase[0]
        th = w2 * t + self.phase[1]
        ph = w3 * t + self.phase[2]
        cp, sp = math.cos(psi / 2), math.sin(psi / 2)
        ct, st = math.cos(th / 2), math.sin(th / 2)
        cf, sf = math.cos(ph / 2), math.sin(ph / 2)
        # qz(psi) qx(theta) = (cp ct, cp st, sp st, sp ct), then times qz(phi)
        a, b, c, d = cp * ct, cp * st, sp * st, sp * ct
        q = (a * cf - d * sf, b * cf + c * sf, c * cf - b * sf, a * sf + d * cf)
        # body rate of Rz(psi) Rx(theta) Rz(phi):
        # Rz(phi)^T (Rx(theta)^T (0,0,psi') + (theta',0,0)) + (0,0,phi')
        ux, uy, uz = w2, w1 * math.sin(th), w1 * math.cos(th)
        cph, sph = math.cos(ph), math.sin(ph)
        omega = (cph * ux + sph * uy, -sph * ux + cph * uy, uz + w3)
        return q, omega

    def altitude(self, t: float) -> Vec3:
        """Altitude (m), vertical velocity (m/s) and acceleration (m/s^2)."""
        amp, om = self.altitude_amplitude, self.altitude_omega
        h = self.base_altitude + amp * (1 - math.cos(om * t)) / 2
        v = amp * om / 2 * math.sin(om * t)
        a = amp * om * om / 2 * math.cos(om * t)
        return h, v, a

    def raw_field(self, r: Sequence[float]) -> Vec3:
        """What the distorted magnetometer reads, noise and calibration
        aside, for the attitude with rotation matrix ``r``: Earth's field in
        sensor axes (R^T f, turned), through soft and hard iron."""
        f = self.field_ref
        body = (
            r[0] * f[0] + r[3] * f[1] + r[6] * f[2],
            r[1] * f[0] + r[4] * f[1] + r[7] * f[2],
            r[2] * f[0] + r[5] * f[1] + r[8] * f[2],
        )
        m = mat_vec(self.soft_iron, body_to_sensor(body))
        h = self.hard_iron
        return (m[0] + h[0], m[1] + h[1], m[2] + h[2])

    def sample(self, t: float, timestamp: float) -> tuple[float, ...]:
        """The 18 telemetry values for physical time ``t`` (seconds since the
        simulator started) stamped with the device clock ``timestamp``."""
        q, omega = self.attitude(t)
        if self.rig is not None:
            q, omega = self.rig.attitude(t, q, omega)
        r = quat_to_matrix(*q)
        h, v, a = self.altitude(t)
        # specific force in the reference frame is (0, 0, 1 + a/g) g;
        # in body axes that is the third row of R (R^T e_z) scaled
        fz = 1.0 + a / G0
        force = (r[6] * fz, r[7] * fz, r[8] * fz)
        if self.rig is not None:
            force = self.rig.force(t, r, force)
        acc = body_to_sensor(force)
        gyro = body_to_sensor(omega)
        m = self.raw_field(r)
        nz = self.noise.draw(t)
        m = (m[0] + nz.mag[0], m[1] + nz.mag[1], m[2] + nz.mag[2])
        b = self.mag_offsets
        m = mat_vec(self.mag_matrix, (m[0] - b[0], m[1] - b[1], m[2] - b[2]))
        deg = 180.0 / math.pi
        temp = self.temperature + 0.3 * math.sin(2 * math.pi * t / 300.0) + nz.temperature
        pressure = pressure_at(h) + nz.pressure
        rate = (gyro[0] * deg, gyro[1] * deg, gyro[2] * deg)
        if self.truth is not None:
            self.truth.append((timestamp, *acc, *rate))
        acc, rate = self.imu.sensed(acc, rate)
        acc = (acc[0] + nz.accel[0], acc[1] + nz.accel[1], acc[2] + nz.accel[2])
        rate = (rate[0] + nz.gyro[0], rate[1] + nz.gyro[1], rate[2] + nz.gyro[2])
        acc, rate = self.imu.output(acc, rate)
        return (
            timestamp,
            temp,
            pressure,
            acc[0],
            acc[1],
            acc[2],
            rate[0],
            rate[1],
            rate[2],
            m[0],
            m[1],
            m[2],
            h,
            v,
            q[0],
            q[1],
            q[2],
            q[3],
        )
