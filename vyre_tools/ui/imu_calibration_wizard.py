"""The accelerometer and gyroscope calibration wizard: the device drawn in
the pose to take next, the faces done, stillness and progress live, then
the fit, its verdict, and keep or roll back.

The run and its state are the session's (``imu_calibration_run``): this
view only shows them and asks, so every tab, and a reload, shows the same run."""

import math

from nicegui import ui

from ..procedures.imu_calibration import GUIDANCE, ImuFit, pose_vector
from . import imu_calibration_run
from .cards import card
from .session import DeviceAway, DeviceBusy, DeviceSession

REFUSED = (DeviceAway, DeviceBusy, OSError, ValueError)
FACES = ("+x", "-x", "+y", "-y", "+z", "-z")


def turned_up(name: str) -> list[list[float]]:
    """The rotation that brings the pose's up axis to +Z (the shortest turn)."""
    x, y, z = pose_vector(name)
    axis = (y, -x, 0.0)  # up × +Z
    s = math.hypot(axis[0], axis[1])
    if s < 1e-12:
        return (
            [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
            if z > 0
            else [
                [1.0, 0.0, 0.0],
                [0.0, -1.0, 0.0],
                [0.0, 0.0, -1.0],
            ]
        )
    kx, ky = axis[0] / s, axis[1] / s
    c = z  # cos of the angle to +Z; sin is s
    # Rodrigues about (kx, ky, 0)
    return [
        [c + kx * kx * (1 - c), kx * ky * (1 - c), ky * s],
        [kx * ky * (1 - c), c + ky * ky * (1 - c), -kx * s],
        [-ky * s, kx * s, c],
    ]


def fit_rows(fit: ImuFit) -> list[dict[str, str]]:
    rows = [{"what": "samples", "value": str(fit.samples)}]
    if fit.fitted:
        rows += [
            {"what": "accelerometer offsets (g)", "value": ", ".join(f"{v:.5f}" for v in fit.accel_offsets)},
            {"what": "accelerometer matrix", "value": ", ".join(f"{v:.5f}" for v in fit.accel_matrix)},
            {
                "what": "gyroscope offsets (degrees/s)",
                "value": ", ".join(f"{v:.4f}" for v in fit.gyro_offsets),
            },
            {"what": "gyroscope matrix", "value": ", ".join(f"{v:.5f}" for v in fit.gyro_matrix)},
            {"what": "gravity residual", "value": f"{fit.accel_rms_mg:.3f} mg rms"},
        ]
        if fit.gyro_rms_degrees == fit.gyro_rms_degrees:
            rows.append({"what": "turn residual", "value": f"{fit.gyro_rms_degrees:.4f} degrees rms"})
    rows.append({"what": "poses", "value": " ".join(p.name for p in fit.poses) or "none"})
    return rows


def build(session: DeviceSession) -> None:
    run = imu_calibration_run.state(session)
    with card("Accelerometer and gyroscope calibration"):
        ui.label(GUIDANCE)
        with ui.row().classes("items-end"):
            seconds = (
                ui.number("longest collection, s", value=180, min=5, max=600, step=5)
                .props("data-testid=imu-seconds")
                .classes("w-44")
            )
            start = ui.button("Start").props("data-testid=imu-start")
            done = ui.button("Fit now", color="grey").props("data-testid=imu-finish")
        progress = ui.linear_progress(value=0.0, show_value=False).classes("w-full")
        instruction = ui.label("").classes("text-xl").props("data-testid=imu-next")
        still = ui.label("").props("data-testid=imu-still")
        status = ui.label("ready").props("data-testid=imu-status")
        with ui.row():
            keep = ui.button("Keep the new calibration", color="green").props("data-testid=imu-keep")
            back = ui.button("Roll back", color="orange").props("data-testid=imu-rollback")
    with ui.row().classes("items-start"):
        with ui.scene(width=420, height=340, grid=(4, 8)).classes("border") as scene:
            scene.move_camera(x=1.5, y=-1.8, z=1.3, look_at_z=0, duration=0)
            with scene.group() as body:
                scene.box(1.0, 0.7, 0.25).material("#4a7bd0", opacity=0.6)
                scene.axes_helper(1.2)
        with ui.column():
            faces = ui.label("").classes("font-mono").props("data-testid=imu-faces")
            ui.label("the device as it should lie for the next pose; red, green, blue: its X, Y, Z").classes(
                "text-sm text-gray-600 w-64"
            )
            table = ui.table(
                columns=[
                    {"name": "what", "label": "", "field": "what", "align": "left"},
                    {"name": "value", "label": "", "field": "value", "align": "left"},
                ],
                rows=[],
            ).props("data-testid=imu-fit dense flat")
    shown_pose = [""]
    shown_fit: list[ImuFit | None] = [None]

    def go() -> None:
        try:
            imu_calibration_run.start(session, float(seconds.value or 180))
        except REFUSED as e:
            ui.notify(f"not started: {e}", type="negative")
        refresh()

    async def undo() -> None:
        try:
            await imu_calibration_run.roll_back(session)
        except REFUSED as e:
            ui.notify(
                f"not rolled back ({e}); the calibration is saved in {run.backup_path}", type="negative"
            )
        refresh()

    def accept() -> None:
        try:
            imu_calibration_run.keep(session)
        except ValueError as e:
            ui.notify(str(e), type="negative")
        refresh()

    def refresh() -> None:
        phase = run.phase
        start.set_enabled(session.busy is None and session.connected)
        done.set_enabled(phase == "collecting" and run.progress is not None)
        keep.set_enabled(phase == "judged")
        back.set_enabled(phase in ("judged", "kept") and session.busy is None)
        p = run.progress
        collecting = phase == "collecting" and p is not None
        progress.value = 0.0 if p is None else min(1.0, p.distinct / p.wanted)
        instruction.text = p.instruction() if collecting and p is not None else ""
        still.text = (
            (f"still for {p.still_seconds:.1f} s" if p.still_now else "moving")
            + f"; {p.distinct} of {p.wanted} poses; {p.elapsed:.0f} s"
            if collecting and p is not None
            else ""
        )
        done_faces = set(p.faces) if p is not None else set()
        faces.text = "faces: " + " ".join(f"[{f}]" if f in done_faces else f" {f} " for f in FACES)
        if phase == "judged" and run.fit is not None:
            status.text = "verdict: " + run.fit.summary()
        elif phase == "collecting":
            status.text = run.text or "collecting"
        else:
            status.text = run.text or ("ready" if session.busy is None else f"ready (busy: {session.busy})")
        pose = (p.next_pose if p is not None else None) or "+z"
        if pose != shown_pose[0]:
            shown_pose[0] = pose
            body.rotate_R(turned_up(pose))
        if run.fit is not shown_fit[0]:
            shown_fit[0] = run.fit
            table.rows = fit_rows(run.fit) if run.fit is not None else []
            table.update()

    def fit_now() -> None:
        imu_calibration_run.finish(session)
        refresh()

    start.on_click(go)
    done.on_click(fit_now)
    keep.on_click(accept)
    back.on_click(undo)
    refresh()
    ui.timer(0.25, refresh)
