"""vyre demo: a tour of the tools on a simulated device.

Each step is checked against what the simulated device knows about itself
(its id, the hard-iron offset it was built with, the mock records it
received), so a passing demo shows the whole chain working end to end.
"""

import argparse
import os
import tempfile
import time
from collections.abc import Callable
from typing import TYPE_CHECKING

from ..procedures.replay import replay_plan
from . import calibrate, info, replay, stream
from .connection import DEFAULT_TIMEOUT, Device, connect, start_simulator
from .errors import EXIT_FAILURE, EXIT_INTERRUPTED, CliError
from .interrupts import StopRequest, stop_on_interrupt

if TYPE_CHECKING:
    from ..sim import SimulatorProcess
    from .console import Ui

STREAM_SECONDS = 5.0
CALIBRATION_SECONDS = 10.0
LOG_RECORDS = 1000
LOG_INTERVAL = 0.004  # 4 s of log
REPLAY_SPEED = 2.0
MAX_OFFSET_ERROR = 0.5  # µT between the fitted and the simulated hard-iron offset
MAX_CORRECTED_SPREAD = 0.01


def step_info(ui: "Ui", device: Device, sim: "SimulatorProcess") -> tuple[bool, str]:
    state = info.query(device)
    info.show(ui, device.port, state)
    expected = sim.status()["device_id"]
    if state.info.id != expected:
        return False, f"id 0x{state.info.id:X}, the simulated device has 0x{expected:X}"
    return True, f"id 0x{state.info.id:X}, firmware {state.info.firmware_version}"


def step_stream(ui: "Ui", device: Device, stop: StopRequest) -> tuple[bool, str]:
    result = stream.stream(ui, device, STREAM_SECONDS, stop=stop)
    ui.line(result.summary())
    if result.failure:
        return False, result.failure
    expected = (result.nominal_rate or 0) * result.seconds
    if result.packets < 0.5 * expected:
        return False, f"{result.packets} packets, about {expected:.0f} expected"
    if result.gaps or result.out_of_order:
        return False, f"{result.gaps} gaps, {result.out_of_order} out of order"
    return True, f"{result.packets} packets at {result.rate:.0f}/s, no gaps"


def step_calibration(
    ui: "Ui", device: Device, sim: "SimulatorProcess", stop: StopRequest
) -> tuple[bool, str]:
    outcome = calibrate.calibrate(ui, device, CALIBRATION_SECONDS, lead_in=1.0, stop=stop)
    truth = sim.status()["hard_iron"]
    error = max(abs(a - b) for a, b in zip(outcome.offsets, truth))
    ui.line(
        "simulated hard-iron offset: ("
        + ", ".join(f"{v:.3f}" for v in truth)
        + f") µT; the fit is within {error:.3f} µT"
    )
    q = outcome.quality
    if error > MAX_OFFSET_ERROR or q.corrected_spread > MAX_CORRECTED_SPREAD:
        return False, f"offset off by {error:.2f} µT, spread {100 * q.corrected_spread:.2f} %"
    return True, (
        f"spread {100 * q.raw_spread:.1f} % -> {100 * q.corrected_spread:.2f} %, offset within {error:.2f} µT"
    )


def step_replay(
    ui: "Ui", device: Device, sim: "SimulatorProcess", stop: StopRequest, folder: str
) -> tuple[bool, str]:
    from ..mocklog import write_mock_log

    path = os.path.join(folder, "demo.log")
    log = write_mock_log(path, LOG_RECORDS, LOG_INTERVAL)
    ui.line(
        f"generated {path}: {LOG_RECORDS} records, "
        f"{(LOG_RECORDS - 1) * LOG_INTERVAL:.2f} s of log; replaying at speed {REPLAY_SPEED:g}"
    )
    result = replay.replay(ui, device, replay_plan(path, REPLAY_SPEED), stop)
    ui.line(result.summary())
    status = sim.status()
    if result.stopped:
        return False, "interrupted"
    if result.verdict != "complete" or status["mock_records"] != LOG_RECORDS:
        return False, (
            f"{result.problem or 'sent ' + str(result.left_host)}, "
            f"the device received {status['mock_records']}"
        )
    if status["mock_digest"] != log.stream_digest():
        return False, "the device received the records altered or out of order"
    if status["mock_mode"] or not result.left_mock_mode:
        return False, "the device did not leave mock mode"
    return True, f"{LOG_RECORDS} records received intact and in order"


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    p = sub.add_parser(
        "demo",
        help="a tour of the tools on a simulated device",
        description="Start a simulated device and show its info, 5 s of live "
        "telemetry, a magnetometer calibration with its report and "
        "the replay of a generated log. Exits 0 when every step "
        "worked.",
    )
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from .console import Ui

    ui = Ui()
    started = time.monotonic()
    results: list[tuple[str, bool, str]] = []
    with stop_on_interrupt() as stop, tempfile.TemporaryDirectory(prefix="vyre-demo-") as folder:
        sim = start_simulator()
        try:
            ui.note(f"simulated device on {sim.port_name}")
            with connect(sim.port_name) as client:
                device = Device(client, sim.port_name, DEFAULT_TIMEOUT, sim)
                steps: tuple[tuple[str, Callable[[], tuple[bool, str]]], ...] = (
                    ("device info", lambda: step_info(ui, device, sim)),
                    ("live telemetry", lambda: step_stream(ui, device, stop)),
                    ("magnetometer calibration", lambda: step_calibration(ui, device, sim, stop)),
                    ("mock log replay", lambda: step_replay(ui, device, sim, stop, folder)),
                )
                for name, action in steps:
                    if stop.requested:
                        break
                    ui.heading(name)
                    try:
                        ok, detail = action()
                    except CliError as e:
                        ok, detail = False, str(e)
                    results.append((name, ok, detail))
                    mark = "[green]ok[/]" if ok else "[red]FAILED[/]"
                    ui.print(f"{mark} {name}: ", end="")
                    ui.line(detail)
        finally:
            sim.close()
    seconds = time.monotonic() - started
    passed = sum(ok for _, ok, _ in results)
    ui.heading("summary")
    if stop.requested:
        ui.line(f"demo: interrupted after {passed} of {len(results)} steps passed ({seconds:.1f} s)")
        return EXIT_INTERRUPTED
    if passed == len(results):
        ui.line(f"demo: all {passed} steps passed in {seconds:.1f} s")
        return 0
    failed = ", ".join(name for name, ok, _ in results if not ok)
    ui.line(f"demo: {passed} of {len(results)} steps passed in {seconds:.1f} s; failed: {failed}")
    return EXIT_FAILURE
