"""The magnetometer calibration, from the collection to the verdict; the
keep or roll back is ``calibration_backup.MagnetometerRollback``'s.

A run: ``prepare`` writes the neutral calibration (so every sample after it
is raw) and lets the packets from before it through; ``collect`` runs the
library's collection, fit and write; ``read_back`` reads what the device
applied; ``judge`` measures it on the samples the host received in the
collection window. Each step is a procedure for either client (see
``device_calls``); the front ends run them in this order, with the backup
read before and the rollback around them.

A front end hands each telemetry batch it reads to ``take``: ``progress()``
tells of the samples so far and the directions they cover, and the run is
judged on ``samples`` at the end. (The library's collection call holds its
client for the whole collection, so a front end reading through that same
client takes the window's samples when the call returns.)"""

import math
import time
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from .device_calls import Pause, Steps, call, not_taken
from .magnetometer_quality import (
    BANDS,
    SECTORS,
    Quality,
    Thresholds,
    Vector,
    assess,
    correct,
    direction_cells,
)

if TYPE_CHECKING:
    import numpy as np
    from vyre_client import CalibrationValues

    Rows = np.ndarray[tuple[int], np.dtype[np.void]]

NEUTRAL_OFFSETS = (0.0, 0.0, 0.0)
IDENTITY = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0)
GUIDANCE = (
    "Turn the device slowly through all orientations while the samples are "
    "collected: roll it, pitch it, turn it upside down, so that its sensor sees "
    "the Earth's field from every side. Keep it away from metal and magnets."
)
SETTLE_SECONDS = 0.05  # for the reader to hand over packets that came before an answer
NO_FIT = (
    "the calibration gave no result: too few samples, or they did not surround the "
    "field (turn the device through more orientations)"
)
NO_TELEMETRY = "no telemetry arrived during the collection"
PROGRESS_POINTS = 1500  # samples a progress report carries, spread over the collection


class CalibrationFailed(RuntimeError):
    """The run gave no calibration worth judging; the text says why."""


@dataclass
class Verdict:
    """A calibration the device applied, judged on the raw samples."""

    quality: Quality
    offsets: list[float]
    matrix: list[float]
    raw: list[Vector]
    corrected: list[Vector]
    shortfalls: list[str] = field(default_factory=list)

    @property
    def good(self) -> bool:
        return not self.shortfalls

    def summary(self) -> str:
        q = self.quality
        head = "good: keep it" if self.good else "poor: " + "; ".join(self.shortfalls)
        offsets = ", ".join(f"{v:.2f}" for v in self.offsets)
        return (
            f"{head}. {q.samples} samples; field {q.raw_mean:.1f} µT spreading "
            f"{100 * q.raw_spread:.2f} % before the fit, {100 * q.corrected_spread:.2f} % "
            f"after; {100 * q.coverage:.0f} % of the directions covered; offsets "
            f"({offsets}) µT"
        )


def raw_window(
    rows: "Iterable[Rows] | Rows", received_by: float, received_after: float = float("-inf")
) -> list[Vector]:
    """Field samples of ``rows`` (``get_data_array`` results, one or several)
    that the host received after ``received_after`` and by ``received_by``
    (seconds on the clock of time.time()).

    The library applies its fit only once the collection time has passed on
    the host's clock, so whatever arrived before then was computed by the
    device without it, whatever its timestamp: a device running behind stamps
    packets with the time they were due, not the time they were made."""
    batches: list[Any] = [rows] if getattr(rows, "dtype", None) is not None else list(rows)
    out: list[Vector] = []
    for batch in batches:
        t = batch["host_time_seconds"]
        kept = batch[(t > received_after) & (t <= received_by)]
        out.extend(
            zip(
                kept["magnetic_field_x_microteslas"].tolist(),
                kept["magnetic_field_y_microteslas"].tolist(),
                kept["magnetic_field_z_microteslas"].tolist(),
            )
        )
    return out


@dataclass(frozen=True)
class Progress:
    """The collection so far.

    ``coverage`` is the share of directions ``points`` cover seen from
    ``centre``, the middle of their range on each axis (where the hard-iron
    offset puts the sphere's centre, once the samples surround it): before
    the fit, a guide to where the device has not been turned yet; the
    verdict's coverage, after the fit, is the one that counts."""

    elapsed: float  # seconds of the collection gone
    duration: float
    samples: int
    coverage: float
    centre: Vector
    points: list[Vector]  # at most PROGRESS_POINTS of the samples, µT, evenly spread

    def summary(self) -> str:
        head = f"{self.elapsed:.0f} of {self.duration:g} s"
        if not self.samples:
            return head
        return f"{head}; {self.samples} samples, {100 * self.coverage:.0f} % of the directions covered"


class MagnetometerCalibration:
    """One run of ``duration`` seconds, each answer waited for ``timeout`` seconds."""

    def __init__(self, duration: float, timeout: float, thresholds: Thresholds = Thresholds()) -> None:
        self.duration = duration
        self.timeout = timeout
        self.thresholds = thresholds
        self.began: float | None = None  # time.time() when the collection began
        self.verdict: Verdict | None = None
        self.samples: list[Vector] = []  # the collection's, as ``take`` received them
        self.received_until = -math.inf  # the newest receive time ``take`` saw
        self._progress: Progress | None = None

    @property
    def ends(self) -> float:
        """When the collection ends on the clock of time.time()."""
        return (self.began if self.began is not None else time.time()) + self.duration

    def take(self, rows: "Rows") -> None:
        """Keeps the field samples of ``rows`` (a ``get_data_array`` batch)
        that the host received in the collection window; batches before
        ``collect`` began are let go."""
        if self.began is None or not len(rows):
            return
        self.received_until = max(self.received_until, float(rows["host_time_seconds"][-1]))
        self.samples.extend(raw_window(rows, self.ends, self.began))

    @property
    def window_closed(self) -> bool:
        """Telemetry received after the window's end has been taken: every
        sample of the window is in ``samples``."""
        return self.received_until > self.ends

    def progress(self) -> Progress:
        """The collection so far (recomputed only when samples came)."""
        done = self._progress
        elapsed = 0.0 if self.began is None else min(self.duration, max(0.0, time.time() - self.began))
        if done is not None and done.samples == len(self.samples):
            return Progress(elapsed, self.duration, done.samples, done.coverage, done.centre, done.points)
        step = max(1, -(-len(self.samples) // PROGRESS_POINTS))
        points = self.samples[::step]
        centre: Vector = (0.0, 0.0, 0.0)
        if points:
            x, y, z = ([p[i] for p in points] for i in range(3))
            centre = ((min(x) + max(x)) / 2, (min(y) + max(y)) / 2, (min(z) + max(z)) / 2)
        cells = direction_cells(correct(points, centre, IDENTITY))
        self._progress = Progress(
            elapsed, self.duration, len(self.samples), len(cells) / (BANDS * SECTORS), centre, points
        )
        return self._progress

    def prepare(self) -> Steps[None]:
        """Neutral first, so that every sample from here on is raw."""
        asked = time.monotonic()
        accepted = yield call(
            "set_magnetometer_calibration", NEUTRAL_OFFSETS, IDENTITY, timeout_seconds=self.timeout
        )
        if not accepted:
            raise CalibrationFailed(
                not_taken("a neutral magnetometer calibration", time.monotonic() - asked, self.timeout)
            )
        # what was sent before the reset is calibrated the old way: let the
        # reader deliver it before the collection's window opens
        yield Pause(SETTLE_SECONDS)

    def collect(self) -> Steps[None]:
        """The library's collection, fit and write; CalibrationFailed without a fit."""
        self.began = time.time()
        asked = time.monotonic()
        result = yield call(
            "run_and_apply_magnetometer_calibration", self.duration, apply_timeout_seconds=self.timeout
        )
        if result is None:
            raise CalibrationFailed(NO_FIT)
        if not result:
            # the apply's answer time is what is left after the collection
            # (and its neutral write, answered at once by a device that answers)
            raise CalibrationFailed(
                not_taken("the computed calibration", time.monotonic() - asked - self.duration, self.timeout)
            )

    def read_back(self) -> "Steps[CalibrationValues]":
        values = yield call("get_calibration", timeout_seconds=self.timeout)
        if values is None:
            raise CalibrationFailed(
                f"the device did not answer the calibration request within {self.timeout:g} s"
            )
        result: CalibrationValues = values
        return result

    def judge(self, raw: Sequence[Vector], values: Any) -> Verdict:
        """The verdict on what the device applied (``values``, a
        CalibrationValues) over the collection's ``raw`` samples."""
        if not raw:
            raise CalibrationFailed(NO_TELEMETRY)
        offsets = list(values.magnetometer_offsets)
        matrix = list(values.magnetometer_scale_matrix)
        quality = assess(raw, offsets, matrix)
        self.verdict = Verdict(
            quality,
            offsets,
            matrix,
            list(raw),
            correct(raw, offsets, matrix),
            self.thresholds.shortfalls(quality),
        )
        return self.verdict
