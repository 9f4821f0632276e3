"""An accelerometer and gyroscope calibration run, from the neutral write to
the fitted calibration read back; the fit and its verdict are
``imu_calibration``'s, the keep or roll back ``calibration_backup.ImuRollback``'s.

A run: ``prepare`` writes the neutral IMU calibration until the device
reads it back (so every sample after it is raw) and lets the packets from
before it through; the front end then feeds the telemetry it receives to
``add`` and shows ``progress`` (the pose to take next, stillness, the poses
done) until ``progress().complete`` or the user ends it; ``fit`` judges the
session, the calibration the device had included; ``apply`` writes a good
fit until the device reads it back bit for bit.  Each device step is a
procedure for either client (see ``device_calls``); the front ends read the
backup first and hold the rollback around the rest."""

import time
from dataclasses import dataclass, field
from typing import Any

from ..calibration_backup import CalibrationBackup, SensorCalibration
from .backups import write_held
from .device_calls import Pause, Steps
from .imu_calibration import (
    IDENTITY,
    NEUTRAL_OFFSETS,
    ImuFit,
    Pose,
    Session,
    Thresholds,
    describe_pose,
    detect,
    fit_imu,
    next_pose,
)

IMU = ("accelerometer", "gyroscope")
SETTLE_SECONDS = 0.05  # for the reader to hand over packets that came before the neutral write


class CalibrationRefused(RuntimeError):
    """A fit that is not good was offered to ``apply``."""


@dataclass
class ImuProgress:
    """What the person calibrating needs to see now."""

    poses: list[Pose]
    distinct: int
    wanted: int
    still_now: bool
    still_seconds: float
    min_hold: float
    elapsed: float
    next_pose: str | None = None
    moved: int = 0  # holds spoiled by movement so far
    faces: list[str] = field(default_factory=list)

    @property
    def complete(self) -> bool:
        return self.distinct >= self.wanted

    def instruction(self) -> str:
        """The next thing to do, in words."""
        if self.complete:
            return "all poses done"
        if self.still_now and self.still_seconds < self.min_hold:
            return f"hold still: {self.still_seconds:.1f} of {self.min_hold:g} s"
        if self.next_pose is None:
            return "take any pose not yet held"
        return f"next: {describe_pose(self.next_pose)}"


def _imu_backup(offsets_a: Any, matrix_a: Any, offsets_g: Any, matrix_g: Any) -> CalibrationBackup:
    accel = SensorCalibration(list(offsets_a), list(matrix_a))
    gyro = SensorCalibration(list(offsets_g), list(matrix_g))
    return CalibrationBackup(accel, gyro, SensorCalibration(list(NEUTRAL_OFFSETS), list(IDENTITY)))


class ImuCalibration:
    """One run: up to ``max_seconds`` of collection, ``poses`` distinct poses
    wanted, each answer waited for ``timeout`` seconds.  ``backup``: the
    calibrations the device had (its IMU part is judged beside the fit)."""

    def __init__(
        self,
        timeout: float,
        backup: CalibrationBackup | None = None,
        poses: int = 12,
        max_seconds: float = 180.0,
        thresholds: Thresholds = Thresholds(),
    ) -> None:
        self.timeout = timeout
        self.backup = backup
        self.wanted = max(poses, thresholds.min_poses)
        self.max_seconds = max_seconds
        self.thresholds = thresholds
        self.began: float | None = None  # time.time() when the collection began
        self._batches: list[Any] = []
        self._session: Session | None = None
        self.result: ImuFit | None = None

    def prepare(self) -> Steps[None]:
        """Neutral first, read back, so that every sample from here on is raw."""
        neutral = _imu_backup(NEUTRAL_OFFSETS, IDENTITY, NEUTRAL_OFFSETS, IDENTITY)
        yield from write_held(neutral, IMU, self.timeout)
        # what was sent before the write is calibrated the old way: let the
        # reader deliver it before the collection's window opens
        yield Pause(SETTLE_SECONDS)
        self.began = time.time()

    def add(self, rows: Any) -> None:
        """A ``get_data_array`` result (or batch of the control center's
        consumer); what the host received before the collection is dropped."""
        if rows is None or not len(rows):
            return
        if self.began is not None:
            rows = rows[rows["host_time_seconds"] > self.began]
        if len(rows):
            self._batches.append(rows)
            self._session = None

    def session(self) -> Session:
        if self._session is None:
            self._session = Session.from_rows(self._batches)
        return self._session

    @property
    def elapsed(self) -> float:
        return 0.0 if self.began is None else time.time() - self.began

    @property
    def timed_out(self) -> bool:
        return self.elapsed >= self.max_seconds

    def progress(self) -> ImuProgress:
        seen = detect(self.session(), self.thresholds)
        distinct = [p for p in seen.poses if p.repeat_of is None]
        return ImuProgress(
            seen.poses,
            len(distinct),
            self.wanted,
            seen.still_now,
            seen.still_seconds,
            self.thresholds.min_hold,
            self.elapsed,
            next_pose(distinct),
            len(seen.moved),
            sorted({p.name for p in distinct if len(p.name) == 2}),
        )

    def fit(self) -> ImuFit:
        """The fit of the session so far, and its verdict."""
        current = None
        if self.backup is not None:
            a, g = self.backup.accelerometer, self.backup.gyroscope
            current = (a.offsets, a.scale_matrix, g.offsets, g.scale_matrix)
        self.result = fit_imu(self.session(), self.thresholds, current)
        return self.result

    def apply(self, fit: ImuFit) -> Steps[None]:
        """Writes ``fit`` until the device reads it back bit for bit;
        CalibrationNotRestored naming what it holds otherwise."""
        if not fit.good:
            raise CalibrationRefused(f"the fit is not good ({fit.reason})")
        yield from write_held(_imu_backup(*fit.values()), IMU, self.timeout)
