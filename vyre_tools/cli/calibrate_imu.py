"""vyre calibrate-imu: a guided accelerometer and gyroscope calibration.

The IMU calibration the device had is read first and written back
(ImuRollback) unless the run ends with a good fit that the user keeps: a
failed, refused, interrupted or rolled-back run leaves the device as it
was.  The run's steps and its verdict are the control center's too
(vyre_tools.procedures.imu_calibration_run).
"""

import argparse
import time
from typing import TYPE_CHECKING

from ..calibration_backup import CalibrationNotRestored, ImuRollback
from ..procedures.device_calls import run as run_steps
from ..procedures.formatting import vec
from ..procedures.imu_calibration import GUIDANCE, ImuFit, Thresholds, describe_pose
from ..procedures.imu_calibration_run import ImuCalibration, ImuProgress
from .calibrate import _not_restored_text, seconds_or_zero
from .calibration import read_backup
from .connection import Device, add_device_arguments, open_device, positive_float, whole_number
from .errors import EXIT_INTERRUPTED, CliError, describe_os_error
from .interrupts import StopRequest, stop_on_interrupt

if TYPE_CHECKING:
    from rich.console import RenderableType

    from .console import Ui

KEPT = "the device keeps its previous IMU calibration"
POLL_SECONDS = 0.1


def _view(progress: ImuProgress) -> "RenderableType":
    from rich.table import Table

    table = Table(box=None, show_header=False, pad_edge=False)
    table.add_column(style="bold")
    table.add_column()
    table.add_row("now", progress.instruction())
    table.add_row(
        "still",
        f"yes, for {progress.still_seconds:.1f} s" if progress.still_now else "no (moving)",
    )
    table.add_row("poses held", f"{progress.distinct} of {progress.wanted}: {_pose_list(progress)}")
    table.add_row("faces done", " ".join(progress.faces) or "none yet")
    table.add_row("elapsed", f"{progress.elapsed:.0f} s")
    return table


def _pose_list(progress: ImuProgress) -> str:
    return " ".join(p.name + ("(again)" if p.repeat_of is not None else "") for p in progress.poses) or "-"


def _collect(ui: "Ui", device: Device, run: ImuCalibration, stop: StopRequest) -> None:
    client = device.client
    run_steps(run.prepare(), client)
    progress = run.progress()
    said = -1
    with ui.live(_view(progress)) as live:
        while not progress.complete and not run.timed_out:
            if stop.requested:
                raise KeyboardInterrupt
            time.sleep(POLL_SECONDS)
            run.add(client.get_data_array())
            progress = run.progress()
            live.update(_view(progress), refresh=True)
            if not ui.interactive and progress.distinct != said:
                # elsewhere than a terminal, a line per pose
                said = progress.distinct
                ui.line(f"{progress.distinct} of {progress.wanted} poses; {progress.instruction()}")
    if not progress.complete:
        ui.line(f"collection ended after {run.max_seconds:g} s with {progress.distinct} distinct poses")


def show_fit(ui: "Ui", fit: ImuFit) -> None:
    """The fitted values, the residuals per pose and turn, and the verdict."""
    from rich.table import Table

    table = Table(title="IMU fit", title_justify="left", box=None, show_header=False, pad_edge=False)
    table.add_column(style="bold")
    table.add_column()
    table.add_row("samples", str(fit.samples))
    if fit.fitted:
        a, g = fit.accel_matrix, fit.gyro_matrix
        table.add_row("accelerometer offsets b", f"{vec(fit.accel_offsets, 5)} g")
        table.add_row("accelerometer matrix A", "\n".join(vec(a[r : r + 3], 5) for r in (0, 3, 6)))
        table.add_row("gyroscope offsets b", f"{vec(fit.gyro_offsets, 4)} degrees/s")
        table.add_row("gyroscope matrix A", "\n".join(vec(g[r : r + 3], 5) for r in (0, 3, 6)))
        table.add_row("gravity residual", f"{fit.accel_rms_mg:.3f} mg rms over the poses")
        if fit.gyro_rms_degrees == fit.gyro_rms_degrees:
            table.add_row("turn residual", f"{fit.gyro_rms_degrees:.4f} degrees rms over the turns")
        if fit.current_accel_rms_mg == fit.current_accel_rms_mg:
            table.add_row(
                "previous calibration",
                f"{fit.current_accel_rms_mg:.3f} mg, {fit.current_gyro_rms_degrees:.4f} degrees rms",
            )
    table.add_row("faces covered", " ".join(fit.faces_covered) or "none")
    ui.print(table)
    poses = Table(title="Poses", title_justify="left", box=None, pad_edge=False)
    for column in ("#", "pose", "held", "residual", "turn to next", "turn residual"):
        poses.add_column(column, justify="right" if column != "pose" else "left")
    for i, p in enumerate(fit.poses):
        turn = fit.turns[i] if i < len(fit.turns) else None
        poses.add_row(
            str(i + 1),
            p.name + (f" (repeats {p.repeat_of + 1})" if p.repeat_of is not None else ""),
            f"{p.seconds:.1f} s",
            "" if p.residual_mg != p.residual_mg else f"{p.residual_mg:+.3f} mg",
            "" if turn is None else f"{turn.angle_degrees:.0f} degrees",
            ""
            if turn is None or turn.residual_degrees != turn.residual_degrees
            else f"{turn.residual_degrees:.3f}",
        )
    if fit.poses:
        ui.print(poses)
    ui.line(f"verdict: {fit.summary()}")


def _keep(ui: "Ui", choice: str | None) -> bool:
    if choice is not None:
        return choice == "keep"
    if not ui.interactive:
        return True
    from rich.prompt import Confirm

    return Confirm.ask("keep the new calibration?", default=True, console=ui.console)


def calibrate(
    ui: "Ui",
    device: Device,
    run: ImuCalibration,
    stop: StopRequest | None = None,
    choice: str | None = None,
) -> ImuFit:
    """Runs the calibration; the device keeps the new one only when the fit
    is good and ``choice`` (or the user) keeps it."""
    from rich.panel import Panel

    stop = stop if stop is not None else StopRequest()
    run.backup = read_backup(device)
    rollback = ImuRollback(device.client, device.timeout, run.backup)
    ui.print(Panel(GUIDANCE, title="Accelerometer and gyroscope calibration", title_align="left"))
    try:
        with rollback:
            _collect(ui, device, run, stop)
            fit = run.fit()
            show_fit(ui, fit)
            if not fit.good:
                raise CliError(f"calibration refused: {fit.reason}: {fit.detail}; {KEPT}")
            with stop.at_once():
                run_steps(run.apply(fit), device.client)
            ui.line("written to the device and read back")
            if _keep(ui, choice):
                rollback.accept()
        if not rollback.accepted:
            ui.line("rolled back: the previous IMU calibration is on the device again")
    except KeyboardInterrupt:
        raise CliError(f"calibration interrupted; {KEPT}", EXIT_INTERRUPTED) from None
    except CalibrationNotRestored as e:
        raise CliError(_not_restored_text(e)) from None
    except OSError as e:  # the library's, after the restore
        raise CliError(f"{describe_os_error(e)}; {KEPT}") from None
    return fit


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    default = Thresholds()
    p = sub.add_parser(
        "calibrate-imu",
        help="calibrate the accelerometer and gyroscope from still poses",
        description="Calibrate the accelerometer and the gyroscope: hold the device "
        "still in the poses named (its faces and edges) and turn it by hand between "
        "them. Offsets and full 3x3 matrices of both sensors are fitted, written and "
        "read back; the device keeps them only when the fit is good and you keep it. "
        "A run that fails, is refused or is stopped with Ctrl-C leaves the "
        "calibration the device had. Poses: " + "; ".join(describe_pose(n) for n in ("+z", "+x+y")) + "...",
    )
    p.add_argument(
        "--poses",
        type=whole_number(default.min_poses, 26),
        default=12,
        metavar="N",
        help=f"distinct poses to collect ({default.min_poses} to 26, default 12)",
    )
    p.add_argument(
        "-d",
        "--duration",
        type=positive_float,
        default=180.0,
        metavar="SECONDS",
        help="longest collection; the fit is made from what was held by then (default 180)",
    )
    p.add_argument(
        "--min-hold",
        type=positive_float,
        default=default.min_hold,
        metavar="SECONDS",
        help=f"how long a pose must be held still (default {default.min_hold:g})",
    )
    p.add_argument(
        "--window",
        type=seconds_or_zero,
        default=default.window,
        metavar="SECONDS",
        help=f"window of the stillness detector (default {default.window:g})",
    )
    choice = p.add_mutually_exclusive_group()
    choice.add_argument(
        "--keep",
        dest="choice",
        action="store_const",
        const="keep",
        help="keep a good calibration without asking (the default off a terminal)",
    )
    choice.add_argument(
        "--roll-back",
        dest="choice",
        action="store_const",
        const="roll-back",
        help="write a good calibration, read it back, then put the previous one back (a trial)",
    )
    add_device_arguments(p)
    p.set_defaults(run=run, choice=None)


def run(args: argparse.Namespace) -> int:
    from dataclasses import replace

    from .console import Ui

    ui = Ui()
    if args.sim:
        # a simulated device with sensor errors, turned through the poses
        args.sim_option = [("motion", "poses"), ("imu_errors", "1"), *args.sim_option]
    thresholds = replace(Thresholds(), min_hold=args.min_hold, window=max(args.window, 0.05))
    with stop_on_interrupt() as stop, open_device(args, ui) as device:
        procedure = ImuCalibration(device.timeout, None, args.poses, args.duration, thresholds)
        calibrate(ui, device, procedure, stop, args.choice)
    return 0
