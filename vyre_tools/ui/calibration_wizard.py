"""The magnetometer calibration wizard: guidance, the collection, the
samples on a sphere, the fit and its verdict, then keep or roll back.

The calibration the device had is read and saved to a file before anything
is written, and put back by itself when the run fails; after a run that
worked the user keeps the new one or rolls back to the saved one."""

import asyncio
import datetime
import os
import time
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from nicegui import ui

from ..calibration_backup import CalibrationBackup
from ..cli.calibrate import GUIDANCE, IDENTITY, NEUTRAL_OFFSETS, SETTLE_SECONDS
from ..cli.magquality import Thresholds, assess, correct
from .calibration_io import read_backup, write_held
from .cards import card
from .format import vec
from .session import DeviceAway, DeviceSession

if TYPE_CHECKING:
    from .display import Rows

ARRIVAL_SECONDS = 2.0   # for the packets of the window to come through the consumer
MAX_POINTS = 1500       # samples drawn on the sphere


@dataclass
class Outcome:
    phase: str = "ready"          # ready, collecting, judged, kept, rolled back, failed
    text: str = ""
    backup: CalibrationBackup | None = None
    backup_path: str | None = None
    raw: list[tuple[float, float, float]] = field(default_factory=list)
    corrected: list[tuple[float, float, float]] = field(default_factory=list)
    quality: Any = None
    shortfalls: list[str] = field(default_factory=list)
    offsets: list[float] = field(default_factory=list)
    began: float = 0.0
    duration: float = 0.0


def window(batches: "list[Rows]", began: float, ended: float) -> list[tuple[float, float, float]]:
    """Field samples the host received between ``began`` and ``ended``
    (time.time()'s clock): what the library fitted, uncorrected."""
    out: list[tuple[float, float, float]] = []
    for rows in batches:
        t = rows["host_time_seconds"]
        kept = rows[(t >= began) & (t <= ended)]
        out.extend(zip(kept["magnetic_field_x_microteslas"].tolist(),
                       kept["magnetic_field_y_microteslas"].tolist(),
                       kept["magnetic_field_z_microteslas"].tolist()))
    return out


async def collect(session: DeviceSession, duration: float, outcome: Outcome) -> None:
    """Backs up, runs the library's calibration and judges it; on a failure
    the saved calibration is written back."""
    client = session.client()
    outcome.backup = await read_backup(client, session.timeout)
    folder = os.path.join(session.data_dir, "backups")
    os.makedirs(folder, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    outcome.backup_path = os.path.join(folder, f"before-magnetometer-calibration-{stamp}.json")
    outcome.backup.save(outcome.backup_path)
    batches: "list[Rows]" = []
    session.taps.append(batches.append)
    session.busy = "calibration"
    outcome.phase, outcome.duration = "collecting", duration
    try:
        # neutral first, so that every sample from here on is raw
        await client.set_magnetometer_calibration(NEUTRAL_OFFSETS, IDENTITY,
                                                  timeout_seconds=session.timeout)
        await asyncio.sleep(SETTLE_SECONDS)
        outcome.began = time.time()
        result = await client.run_and_apply_magnetometer_calibration(
            duration, apply_timeout_seconds=session.timeout)
        ended = outcome.began + duration
        deadline = time.monotonic() + ARRIVAL_SECONDS
        while (not batches or batches[-1]["host_time_seconds"][-1] <= ended) \
                and time.monotonic() < deadline:
            await asyncio.sleep(0.02)
    except BaseException:
        await _restore(session, outcome, "the run failed")
        raise
    finally:
        session.taps.remove(batches.append)
        session.busy = None
    outcome.raw = window(batches, outcome.began, ended)
    if not result or not outcome.raw:
        why = ("no fit: too few samples, or they did not surround the field"
               if result is None else "the device did not accept the fit")
        await _restore(session, outcome, why if outcome.raw else "no telemetry arrived")
        return
    values = await client.get_calibration(timeout_seconds=session.timeout)
    if values is None:
        await _restore(session, outcome, "the device did not answer the read-back")
        return
    outcome.offsets = list(values.magnetometer_offsets)
    matrix = list(values.magnetometer_scale_matrix)
    outcome.quality = assess(outcome.raw, outcome.offsets, matrix)  # type: ignore[no-untyped-call]
    outcome.corrected = correct(outcome.raw, outcome.offsets, matrix)  # type: ignore[no-untyped-call]
    outcome.shortfalls = Thresholds().shortfalls(outcome.quality)  # type: ignore[no-untyped-call]
    session.calibration = values
    outcome.phase = "judged"


async def _restore(session: DeviceSession, outcome: Outcome, why: str) -> None:
    assert outcome.backup is not None
    try:
        await write_held(session.client(), outcome.backup, ("magnetometer",), session.timeout)
        outcome.text = f"{why}; the previous calibration is back on the device"
    except (DeviceAway, OSError) as e:
        outcome.text = (f"{why}; putting the previous calibration back failed ({e}): it is "
                        f"saved in {outcome.backup_path}")
    outcome.phase = "failed"


async def roll_back(session: DeviceSession, outcome: Outcome) -> None:
    assert outcome.backup is not None
    await write_held(session.client(), outcome.backup, ("magnetometer",), session.timeout)
    session.calibration = await session.client().get_calibration(timeout_seconds=session.timeout)
    outcome.phase = "rolled back"
    outcome.text = "rolled back: the device holds the calibration it had before"


def verdict(outcome: Outcome) -> str:
    q = outcome.quality
    head = "good: keep it" if not outcome.shortfalls else "poor: " + "; ".join(outcome.shortfalls)
    return (f"{head}. {q.samples} samples; field {q.raw_mean:.1f} µT spreading "
            f"{100 * q.raw_spread:.2f} % before the fit, {100 * q.corrected_spread:.2f} % after; "
            f"{100 * q.coverage:.0f} % of the directions covered; offsets {vec(outcome.offsets, 2)} µT")


def _on_sphere(points: list[tuple[float, float, float]], radius: float) -> list[list[float]]:
    step = max(1, len(points) // MAX_POINTS)
    return [[x / radius, y / radius, z / radius] for x, y, z in points[::step]]


def build(session: DeviceSession) -> None:
    outcome = Outcome()
    with card("Magnetometer calibration"):
        ui.label(GUIDANCE)
        with ui.row().classes("items-end"):
            duration = ui.number("collection seconds", value=15, min=1, max=120, step=1).props(
                "data-testid=cal-duration")
            start = ui.button("Start").props("data-testid=cal-start")
        progress = ui.linear_progress(value=0.0, show_value=False).classes("w-full")
        status = ui.label("ready").props("data-testid=cal-status")
        with ui.row():
            keep = ui.button("Keep the new calibration", color="green").props(
                "data-testid=cal-keep")
            back = ui.button("Roll back", color="orange").props("data-testid=cal-rollback")
    with ui.row().classes("items-start"):
        with ui.scene(width=520, height=420, grid=False) as scene:
            scene.move_camera(x=1.6, y=-2.0, z=1.4, duration=0)
            scene.sphere(1.0, 24, 16, wireframe=True).material("#888888", opacity=0.4)
            raw_cloud = scene.point_cloud([], [], point_size=0.03)
            fitted_cloud = scene.point_cloud([], [], point_size=0.03)
        ui.label("grey: the samples as measured; blue: after the fit, on a sphere of "
                 "the mean field (full coverage wraps it)").classes("text-sm text-gray-600 w-64")
    shown = {"phase": ""}

    async def go() -> None:
        for cloud in (raw_cloud, fitted_cloud):
            cloud.set_points([], [])
        try:
            await collect(session, float(duration.value or 15), outcome)
        except (DeviceAway, OSError) as e:
            outcome.phase, outcome.text = "failed", outcome.text or f"the run failed: {e}"

    async def undo() -> None:
        try:
            await roll_back(session, outcome)
        except (DeviceAway, OSError) as e:
            ui.notify(f"not rolled back ({e}); the calibration is saved in {outcome.backup_path}",
                      type="negative")

    def accept() -> None:
        outcome.phase = "kept"
        outcome.text = ("kept: the device holds the new calibration; the previous one is "
                        f"saved in {outcome.backup_path}")

    def refresh() -> None:
        phase = outcome.phase
        start.set_enabled(phase != "collecting" and session.busy is None)
        keep.set_enabled(phase == "judged")
        back.set_enabled(phase in ("judged", "kept"))
        if phase == "collecting":
            elapsed = time.time() - outcome.began if outcome.began else 0.0
            progress.value = min(1.0, elapsed / outcome.duration)
            status.text = f"collecting: keep turning the device ({elapsed:.0f} of {outcome.duration:g} s)"
        elif phase == "judged":
            status.text = "verdict: " + verdict(outcome)
        elif phase != "ready":
            status.text = outcome.text
        if phase == shown["phase"]:
            return
        shown["phase"] = phase
        if phase == "judged" and outcome.raw:
            radius = outcome.quality.corrected_mean
            raw_cloud.set_points(_on_sphere(outcome.raw, radius),
                                 [[0.55, 0.55, 0.55]] * len(_on_sphere(outcome.raw, radius)))
            fitted = _on_sphere(outcome.corrected, radius)
            fitted_cloud.set_points(fitted, [[0.1, 0.3, 0.9]] * len(fitted))
            progress.value = 1.0

    start.on_click(go)
    keep.on_click(accept)
    back.on_click(undo)
    ui.timer(0.25, refresh)
