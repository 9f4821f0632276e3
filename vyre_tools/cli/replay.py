"""vyre replay: send a mock log into the device's mock mode, with progress."""

import argparse
from typing import TYPE_CHECKING

from ..procedures.replay import (
    ReplayError,
    ReplayPlan,
    ReplayProgress,
    ReplayResult,
    replay as run_replay,
    replay_plan,
)
from .connection import Device, add_device_arguments, open_device, positive_float
from .errors import CliError
from .interrupts import StopRequest, stop_on_interrupt

if TYPE_CHECKING:
    from rich.progress import Progress

    from .console import Ui


def _progress(ui: "Ui") -> "Progress":
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

    return Progress(
        TextColumn("[bold]replay"),
        BarColumn(),
        MofNCompleteColumn(),
        TextColumn("records  {task.fields[rate]:>9}  log {task.fields[log]}"),
        TextColumn("elapsed"),
        TimeElapsedColumn(),
        console=ui.console,
        auto_refresh=False,
    )


def replay(ui: "Ui", device: Device, plan: ReplayPlan, stop: StopRequest | None = None) -> ReplayResult:
    """Replays ``plan`` on ``device`` with a progress bar; the ReplayResult."""
    with _progress(ui) as progress:
        task = progress.add_task("replay", total=plan.total, rate="", log="")

        def show(p: ReplayProgress) -> None:
            if p.phase == "ending" and p.failure:
                ui.note(f"{p.failure}; telling the device to leave mock mode")
            rate = f"{p.left_host / p.seconds:.0f}/s" if p.seconds > 0 else ""
            progress.update(
                task, completed=p.left_host, rate=rate, log=f"{p.log_seconds:.2f} / {plan.log_seconds:.2f} s"
            )
            progress.refresh()

        try:
            return run_replay(device.client, plan, timeout=device.timeout, stop=stop, on_progress=show)
        except ReplayError as e:
            raise CliError(f"{device.port}: {e}") from None


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    p = sub.add_parser(
        "replay",
        help="replay a mock log into the device's mock mode",
        description="Replay a mock log file into the device's mock mode, paced "
        "by the log's timestamps (or as fast as the link carries it "
        "with --no-realtime). The replay is done once every record "
        "has left the host; then the device is told to leave mock "
        "mode. A device that takes no data for --timeout seconds "
        "fails the replay, with the count of records that left. "
        "Ctrl-C stops the replay (what is already queued still goes "
        "out) and ends mock mode.",
    )
    p.add_argument("log", metavar="LOG", help="mock log file")
    p.add_argument(
        "-s",
        "--speed",
        type=positive_float,
        default=1.0,
        help="replay this many times faster than logged (default 1)",
    )
    p.add_argument(
        "--no-realtime",
        dest="realtime",
        action="store_false",
        help="send as fast as possible, ignoring the log's timing",
    )
    add_device_arguments(p)
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from .console import Ui

    ui = Ui()
    try:
        plan = replay_plan(args.log, args.speed, args.realtime)
    except ReplayError as e:
        raise CliError(str(e)) from None
    with stop_on_interrupt() as stop, open_device(args, ui) as device:
        result = replay(ui, device, plan, stop)
        received = device.sim.status()["mock_records"] if device.sim is not None else None
    ui.line((f"stopped by {stop.cause}: " if stop.requested else "") + result.summary())
    if received is not None:
        ui.line(f"the simulated device received {received} records in mock mode")
    if result.problem:
        raise CliError(result.problem)
    ui.line("the device left mock mode")
    return stop.status if stop.requested else 0
