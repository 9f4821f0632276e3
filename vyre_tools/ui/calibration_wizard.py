"""The magnetometer calibration wizard: guidance, the collection with its
samples drawn on a sphere and the directions covered as they come, the fit
and its verdict, then keep or roll back.

The run and its state are the session's (``calibration_run``): this view
only shows them and asks, so every tab, and a reload, shows the same run."""

import math

from nicegui import ui

from ..procedures.magnetometer_calibration import GUIDANCE
from ..procedures.magnetometer_quality import Vector
from . import calibration_run
from .calibration_run import CalibrationRun
from .cards import card
from .session import DeviceAway, DeviceBusy, DeviceSession

MAX_POINTS = 1500  # samples drawn on the sphere
SCENE_WIDTH = 360  # px before the page lays it out (and where WebGL is missing)
REFUSED = (DeviceAway, DeviceBusy, OSError, ValueError)


def _on_sphere(points: list[Vector], radius: float, centre: Vector = (0.0, 0.0, 0.0)) -> list[list[float]]:
    """Up to MAX_POINTS of ``points``, from ``centre``, in units of ``radius``."""
    step = max(1, -(-len(points) // MAX_POINTS))
    cx, cy, cz = centre
    return [[(x - cx) / radius, (y - cy) / radius, (z - cz) / radius] for x, y, z in points[::step]]


def _mean_radius(points: list[Vector], centre: Vector) -> float:
    cx, cy, cz = centre
    lengths = [math.dist((x, y, z), (cx, cy, cz)) for x, y, z in points]
    mean = sum(lengths) / len(lengths) if lengths else 0.0
    return mean if mean > 0 else 1.0


def status_text(session: DeviceSession, run: CalibrationRun) -> str:
    if run.phase == "collecting":
        collected = run.collected()
        if collected is None:
            return "preparing: reading and saving the calibration the device has"
        return f"collecting: keep turning the device ({collected.summary()})"
    if run.phase == "judged" and run.verdict is not None:
        return "verdict: " + run.verdict.summary()
    if run.phase == "ready":
        return "ready" if session.busy is None else f"ready (the device is busy: {session.busy})"
    return run.text


def build(session: DeviceSession) -> None:
    run = calibration_run.state(session)
    with card("Magnetometer calibration"):
        ui.label(GUIDANCE)
        with ui.row().classes("items-end"):
            duration = (
                ui.number("collection seconds", value=15, min=1, max=120, step=1)
                .classes("min-w-[10rem]")
                .props("data-testid=cal-duration")
            )
            start = ui.button("Start").props("data-testid=cal-start")
        progress = ui.linear_progress(value=0.0, show_value=False).classes("w-full")
        status = ui.label("ready").props("data-testid=cal-status")
        with ui.row():
            keep = ui.button("Keep the new calibration", color="green").props("data-testid=cal-keep")
            back = ui.button("Roll back", color="orange").props("data-testid=cal-rollback")
    with ui.row().classes("items-start w-full"):
        # as wide as the page allows, up to its own size (the canvas follows the element)
        with ui.scene(width=SCENE_WIDTH, height=420, grid=False).classes(
            "w-full max-w-[520px] h-[420px]"
        ) as scene:
            scene.move_camera(x=1.6, y=-2.0, z=1.4, duration=0)
            scene.sphere(1.0, 24, 16, wireframe=True).material("#888888", opacity=0.4)
            raw_cloud = scene.point_cloud([], [], point_size=0.03)
            fitted_cloud = scene.point_cloud([], [], point_size=0.03)
        with ui.column().classes("w-64"):
            drawn_text = ui.label().classes("font-mono text-sm").props("data-testid=cal-points")
            ui.label(
                "grey: the samples as measured, from the middle of their range; blue: "
                "after the fit, on a sphere of the mean field (full coverage wraps it)"
            ).classes("text-sm text-gray-600")
    drawn: dict[str, object] = {"verdict": None, "samples": -1}

    def go() -> None:
        try:
            calibration_run.start(session, float(duration.value or 15))
        except REFUSED as e:
            ui.notify(f"not started: {e}", type="negative")
        refresh()

    async def undo() -> None:
        try:
            await calibration_run.roll_back(session)
        except REFUSED as e:
            ui.notify(
                f"not rolled back ({e}); the calibration is saved in {run.backup_path}", type="negative"
            )
        refresh()

    def accept() -> None:
        try:
            calibration_run.keep(session)
        except ValueError as e:
            ui.notify(str(e), type="negative")
        refresh()

    def refresh() -> None:
        phase = run.phase
        start.set_enabled(session.busy is None and session.connected)
        keep.set_enabled(phase == "judged")
        back.set_enabled(phase in ("judged", "kept") and session.busy is None)
        progress.value = run.progress()
        status.text = status_text(session, run)
        verdict = run.verdict if phase in ("judged", "kept", "rolled back") else None
        if verdict is None:
            drawn["verdict"] = None
            collected = run.collected() if phase == "collecting" else None
            count = collected.samples if collected is not None else 0
            if count == drawn["samples"]:
                return
            drawn["samples"] = count
            fitted_cloud.set_points([], [])
            if collected is None:
                raw_cloud.set_points([], [])
                drawn_text.text = ""
                return
            # live: the samples so far, around the middle of their range
            points = _on_sphere(
                collected.points, _mean_radius(collected.points, collected.centre), collected.centre
            )
            raw_cloud.set_points(points, [[0.55, 0.55, 0.55]] * len(points))
            drawn_text.text = f"{count} samples, {100 * collected.coverage:.0f} % of the directions"
            return
        if verdict is drawn["verdict"]:
            return
        drawn["verdict"], drawn["samples"] = verdict, -1
        radius = verdict.quality.corrected_mean
        raw = _on_sphere(verdict.raw, radius)
        raw_cloud.set_points(raw, [[0.55, 0.55, 0.55]] * len(raw))
        fitted = _on_sphere(verdict.corrected, radius)
        fitted_cloud.set_points(fitted, [[0.1, 0.3, 0.9]] * len(fitted))
        drawn_text.text = (
            f"{verdict.quality.samples} samples, {100 * verdict.quality.coverage:.0f} % of the directions"
        )

    start.on_click(go)
    keep.on_click(accept)
    back.on_click(undo)
    refresh()
    ui.timer(0.25, refresh)
