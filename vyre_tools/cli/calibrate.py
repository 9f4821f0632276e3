"""vyre calibrate-mag: a guided magnetometer calibration with a quality report.

The library's calibration call blocks (holding the interpreter) for the
whole collection, so the countdown shown meanwhile runs in a child process
(see countdown.py); before the call a short lead-in lets the user start
turning the device.  The report is built from the same telemetry the
library fitted: the packet queue receives every record of the collection
window (cut by the host's receive time), and the calibration the device
applied is read back.

The call writes the neutral calibration first, so the one the device had is
read before and written back (MagnetometerRollback) unless the run ends with
a fit that reaches the thresholds: a failed, interrupted or poor run leaves
the device as it was.  The call runs signal handlers while it waits, and
ends when one raises: within it the first Ctrl-C raises (stop.at_once()).
The run's steps and its verdict are the control center's too
(vyre_tools.procedures.magnetometer_calibration).
"""

import argparse
import contextlib
import datetime
import math
import os
import tempfile
import time
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from ..calibration_backup import CalibrationNotRestored, MagnetometerRollback
from ..procedures.device_calls import run as run_steps
from ..procedures.magnetometer_calibration import (
    GUIDANCE,
    CalibrationFailed,
    MagnetometerCalibration,
    Verdict,
    raw_window,
)
from ..procedures.formatting import vec
from ..procedures.magnetometer_quality import Thresholds
from .calibration import read_backup
from .connection import Device, add_device_arguments, open_device, positive_float
from .countdown import Countdown, flush_c_stdout
from .errors import EXIT_INTERRUPTED, CliError, describe_os_error
from .interrupts import StopRequest, stop_on_interrupt
from .plotting import calibration_figure, require_matplotlib

if TYPE_CHECKING:
    from .console import Ui

KEPT = "the device keeps its previous calibration"


def _lead_in(ui: "Ui", seconds: float, stop: StopRequest) -> None:
    if seconds <= 0:
        return
    if not ui.interactive:
        ui.line(f"collection starts in {seconds:g} s: start turning the device")
    end = time.monotonic() + seconds
    with ui.console.status("") as status:
        while (left := end - time.monotonic()) > 0:
            if stop.requested:
                raise CliError(
                    "calibration cancelled before it started; the device's calibration is unchanged",
                    EXIT_INTERRUPTED,
                )
            status.update(f"[bold]collection starts in {math.ceil(left)} s[/] - start turning the device")
            time.sleep(min(0.05, left))


def calibrate(
    ui: "Ui",
    device: Device,
    duration: float,
    lead_in: float = 3.0,
    stop: StopRequest | None = None,
    thresholds: Thresholds = Thresholds(),
    force: bool = False,
) -> Verdict:
    """Runs the calibration and shows its quality.  The device keeps the new
    calibration only when it reaches ``thresholds`` (or ``force``); on any
    other way out the one it had is written back first."""
    from rich.panel import Panel

    stop = stop if stop is not None else StopRequest()
    rollback = MagnetometerRollback(device.client, device.timeout, read_backup(device))
    ui.print(Panel(GUIDANCE, title="Magnetometer calibration", title_align="left"))
    _lead_in(ui, lead_in, stop)
    try:
        with rollback:
            outcome = _collect(ui, device, duration, stop, thresholds)
            show(ui, outcome, thresholds)
            shortfalls = outcome.shortfalls
            if stop.requested:
                raise KeyboardInterrupt
            if shortfalls and not force:
                raise CliError(
                    f"calibration refused: {'; '.join(shortfalls)}; {KEPT} (--force keeps the new one anyway)"
                )
            rollback.accept()
    except KeyboardInterrupt:
        raise CliError(f"calibration interrupted; {KEPT}", EXIT_INTERRUPTED) from None
    except CalibrationNotRestored as e:
        raise CliError(_not_restored_text(e)) from None
    except OSError as e:  # the library's, after the restore
        raise CliError(f"{describe_os_error(e)}; {KEPT}") from None
    return outcome


def _collect(ui: "Ui", device: Device, duration: float, stop: StopRequest, thresholds: Thresholds) -> Verdict:
    client = device.client
    run = MagnetometerCalibration(duration, device.timeout, thresholds)
    try:
        run_steps(run.prepare(), client)
        # drop what came before the reset; the library writes neutral again,
        # which changes nothing
        client.get_data_array()
        # on a terminal the countdown says it; elsewhere this line is all there is
        ui.line(
            f"collecting for {duration:g} s (Ctrl-C stops)"
            + ("" if ui.interactive else "; keep turning the device")
        )
        ui.flush()
        # the library's own three lines give way to the table below
        client.print_calibration_report = False
        failure: CalibrationFailed | None = None
        with stop.at_once(), Countdown(duration) if ui.interactive else contextlib.nullcontext():
            try:
                run_steps(run.collect(), client)
            except CalibrationFailed as e:
                failure = e
        flush_c_stdout()
        rows = client.get_data_array()
        fit = client.last_magnetometer_calibration
        if fit is not None and fit["offsets"] is not None:
            show_fit(ui, fit)
        if failure is not None:
            raise failure
        values = run_steps(run.read_back(), client)
        return run.judge(raw_window(rows, run.ends), values)
    except CalibrationFailed as e:
        raise CliError(f"{e}; {KEPT}") from None


def _not_restored_text(e: CalibrationNotRestored) -> str:
    """What went wrong, and where the calibration to put back is kept."""
    cause = e.__cause__
    why = ("interrupted" if isinstance(cause, KeyboardInterrupt) else str(cause)) if cause else ""
    text = f"{why}; {e}" if why else str(e)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    path = os.path.join(tempfile.gettempdir(), f"vyre-calibration-{stamp}.json")
    try:
        e.backup.save(path)
    except OSError as saving:
        return f"{text}; keeping a copy failed too ({saving.strerror or saving})"
    return f"{text}; the calibration it had is kept in {path}: 'vyre calibration load {path}' puts it back"


def show_fit(ui: "Ui", fit: Mapping[str, Any]) -> None:
    """The library's fit, from ``client.last_magnetometer_calibration``."""
    from rich.table import Table

    table = Table(title="Magnetometer fit", title_justify="left", box=None, show_header=False, pad_edge=False)
    table.add_column(style="bold")
    table.add_column()
    matrix = fit["scale_matrix"]
    table.add_row("samples fitted", str(fit["samples"]))
    table.add_row("offsets b", f"{vec(fit['offsets'], 6)} µT")
    table.add_row("matrix A", "\n".join(vec(matrix[row : row + 3], 6) for row in (0, 3, 6)))
    table.add_row(
        "residuals",
        f"{fit['rms_residual_microteslas']:.3f} µT rms, {fit['max_residual_microteslas']:.3f} µT largest",
    )
    table.add_row("written to the device", "yes" if fit["applied"] else "no")
    ui.print(table)


def show(ui: "Ui", outcome: Verdict, thresholds: Thresholds = Thresholds()) -> None:
    """The quality of ``outcome`` (a magnetometer_calibration.Verdict)."""
    from rich.table import Table

    q = outcome.quality
    table = Table(
        title="Calibration quality", title_justify="left", box=None, show_header=False, pad_edge=False
    )
    table.add_column(style="bold")
    table.add_column()
    table.add_row("samples in the collection window", str(q.samples))
    table.add_row(
        "field magnitude before the fit",
        f"{q.raw_mean:.2f} µT mean, {100 * q.raw_spread:.2f} % relative spread",
    )
    table.add_row(
        "field magnitude after the fit",
        f"{q.corrected_mean:.2f} µT mean, {100 * q.corrected_spread:.2f} % relative spread",
    )
    table.add_row(
        "directions covered",
        f"{100 * q.coverage:.0f} % of the sphere ({q.cells_hit} of {q.cells} equal-area cells)",
    )
    table.add_row("offset applied", f"{vec(outcome.offsets, 3)} µT")
    ui.print(table)
    ui.line(
        f"kept if it covers at least {100 * thresholds.min_coverage:g} % of the directions "
        f"and spreads at most {100 * thresholds.max_spread:g} % after the fit"
    )
    if not q.coverage >= thresholds.min_coverage:
        ui.print(
            "[yellow]The samples covered few directions: run again and turn the device "
            "through more orientations.[/]"
        )
    elif not q.corrected_spread <= thresholds.max_spread:
        ui.print(
            "[yellow]The calibrated magnitudes still spread widely: keep the device away "
            "from metal and run again.[/]"
        )


def seconds_or_zero(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value < math.inf:
        raise argparse.ArgumentTypeError(f"must be 0 or more seconds, got {text!r}")
    return value


def percent(text: str) -> float:
    """A share given in percent, more than 0 and at most 100, as a fraction."""
    value = positive_float(text)
    if value > 100:
        raise argparse.ArgumentTypeError(f"must be at most 100, got {text!r}")
    return value / 100


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    default = Thresholds()
    p = sub.add_parser(
        "calibrate-mag",
        help="calibrate the magnetometer, with a quality report",
        description="Calibrate the magnetometer: turn the device slowly through "
        "all orientations while samples are collected; the fitted "
        "calibration is written to the device and judged. The "
        "device keeps it only if it reaches the thresholds below; "
        "a run that fails, falls short or is stopped with Ctrl-C "
        "leaves the calibration the device had.",
    )
    p.add_argument(
        "-d",
        "--duration",
        type=positive_float,
        default=15.0,
        metavar="SECONDS",
        help="collection time (default 15)",
    )
    p.add_argument(
        "--lead-in",
        type=seconds_or_zero,
        default=3.0,
        metavar="SECONDS",
        help="countdown before the collection starts (default 3; 0 for none)",
    )
    p.add_argument(
        "--min-coverage",
        type=percent,
        default=default.min_coverage,
        metavar="PERCENT",
        help=f"share of the directions the samples must cover (default {100 * default.min_coverage:g})",
    )
    p.add_argument(
        "--max-spread",
        type=percent,
        default=default.max_spread,
        metavar="PERCENT",
        help="largest relative spread of the calibrated field magnitudes "
        f"(default {100 * default.max_spread:g})",
    )
    p.add_argument(
        "--force",
        action="store_true",
        help="keep the new calibration even when it falls short of the thresholds",
    )
    p.add_argument(
        "--plot", metavar="FILE.png", help="draw the raw and calibrated samples in three projections"
    )
    add_device_arguments(p)
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from .console import Ui

    if args.plot:
        require_matplotlib()  # missing: say so before a long collection
    ui = Ui()
    thresholds = Thresholds(args.min_coverage, args.max_spread)
    with stop_on_interrupt() as stop, open_device(args, ui) as device:
        outcome = calibrate(ui, device, args.duration, args.lead_in, stop, thresholds, args.force)
    if args.plot:
        written = calibration_figure(outcome.raw, outcome.corrected, outcome.offsets, args.plot)
        ui.line(f"wrote {written}")
    return 0
