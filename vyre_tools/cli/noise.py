"""vyre noise: the noise figures of a still device (Allan deviation), from a
recording or a live capture."""

import argparse
import json
import sys
import time
from typing import TYPE_CHECKING

from .connection import add_device_arguments, open_device, positive_float
from .errors import EXIT_USAGE, CliError
from .interrupts import stop_on_interrupt
from ..recording import FORMATS

if TYPE_CHECKING:
    from ..procedures.allan import Figure
    from ..procedures.noise import NoiseReport
    from .console import Ui
    from .interrupts import StopRequest

DEFAULT_DURATION = 60.0
POLL_SECONDS = 0.05
REFRESH_SECONDS = 0.5


def figure_text(f: "Figure") -> str:
    if f.upper_bound:
        return f"≤ {f.value:.3g}"
    spread = (f.high - f.low) / 2 / f.value if f.value else 0.0
    return f"{f.value:.3g} ±{100 * spread:.2g} %"


def table(report: "NoiseReport") -> object:
    """Per channel, in its unit u: density (u/√Hz), instability (u) at its
    averaging time, random walk (u/s/√Hz); ≤ marks a bound."""
    from rich.table import Table

    t = Table(
        title="noise figures, in the channel's unit u (± one standard deviation; ≤: not reached, at most)",
        title_justify="left",
    )
    t.add_column("channel")
    t.add_column("u")
    t.add_column("white noise u/√Hz", justify="right")
    t.add_column("bias instability u", justify="right")
    t.add_column("at τ", justify="right")
    t.add_column("random walk u/s/√Hz", justify="right")
    for c in report.channels:
        f = c.figures
        tau = f.instability.tau
        t.add_row(
            c.label,
            c.sensor.unit,
            figure_text(f.white),
            figure_text(f.instability),
            "" if tau is None or f.instability.upper_bound else f"{tau:.3g} s",
            figure_text(f.walk),
        )
    return t


def capture(ui: "Ui", args: argparse.Namespace, stop: "StopRequest") -> "NoiseReport":
    """A still capture of ``args.duration`` seconds from the device, with its
    figures."""
    from rich.text import Text

    from ..procedures.noise_capture import NoiseCapture
    from .stream import open_recording

    if args.sim and not any(key == "motion" for key, _ in args.sim_option):
        args.sim_option = [("motion", "still"), *args.sim_option]
    with open_device(args, ui, stop) as device:
        client = device.client
        info = device.answer(client.get_device_info(timeout_seconds=device.timeout), "device info")
        device_id = f"0x{info.id:016X}"
        recorder = open_recording(args.record, device) if args.record else None
        ui.note(f"keep the device still for {args.duration:g} s: any motion spoils the figures")
        collected = NoiseCapture()
        client.discard_backlog()
        start = time.monotonic()
        try:
            with ui.live(Text("capturing")) as live:
                next_refresh = start
                while not stop.requested:
                    batch = client.get_data_array()
                    collected.add(batch)
                    if recorder is not None and len(batch):
                        recorder.write(batch)
                    now = time.monotonic()
                    if collected.seconds >= args.duration or now - start > args.duration + 5 + args.timeout:
                        break
                    if now >= next_refresh:
                        live.update(
                            Text(
                                f"capturing: {collected.seconds:5.1f} of {args.duration:g} s, "
                                f"{collected.samples} samples; keep the device still"
                            ),
                            refresh=True,
                        )
                        next_refresh = now + REFRESH_SECONDS
                    time.sleep(POLL_SECONDS)
        finally:
            if recorder is not None:
                recorder.close()
        port = device.port
    if stop.requested:
        raise CliError(f"stopped by {stop.cause} after {collected.seconds:.1f} s", stop.status)
    if not collected.samples:
        raise CliError(f"no telemetry arrived from {port} in {args.duration:g} s")
    if args.record:
        ui.note(f"recorded {collected.samples} packets to {args.record}")
    source = f"a {collected.seconds:.0f} s capture on {port}"
    return collected.report(source, device_id)


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    p = sub.add_parser(
        "noise",
        help="noise figures of a still device (Allan deviation)",
        description="The noise figures of every axis of acceleration, angular rate and magnetic "
        "field, of pressure and of temperature: white-noise density, bias instability and "
        "random walk, from the overlapping Allan deviation, each with its one-standard-deviation "
        "interval. Reads a recording (" + ", ".join(FORMATS) + ") or captures the device "
        "(-p or --sim) for --duration seconds; the device must stay still, and data that "
        "shows motion is refused.",
    )
    p.add_argument("recording", nargs="?", metavar="RECORDING", help="a recording of a still device")
    p.add_argument(
        "-d",
        "--duration",
        type=positive_float,
        default=DEFAULT_DURATION,
        metavar="SECONDS",
        help=f"length of a live capture (default {DEFAULT_DURATION:g}); the longer, the "
        "further the curve reaches (see the guide for how long each figure needs)",
    )
    p.add_argument(
        "--json", metavar="FILE", help="write the figures and the curves as JSON ('-': standard output)"
    )
    p.add_argument(
        "--yaml",
        metavar="FILE",
        help="write the accelerometer's and gyroscope's figures as the imu.yaml of camera-IMU calibration tools",
    )
    p.add_argument("-o", "--output", metavar="FILE.png", help="plot the curves into this image")
    p.add_argument("--plot", action="store_true", help="plot the curves in a window")
    p.add_argument(
        "--save",
        action="store_true",
        help="keep the figures as the device's noise profile (in $VYRE_NOISE_PROFILES, else "
        "vyre/noise-profiles in $XDG_DATA_HOME or ~/.local/share)",
    )
    p.add_argument("-r", "--record", metavar="FILE", help="keep a live capture as a recording too")
    add_device_arguments(p)
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from ..procedures.noise import NoiseDataError, NotStill, characterise_recording
    from ..recording import RecordingError, format_of
    from .console import Ui

    live = args.recording is None
    if not live and (args.sim or args.sim_option):
        raise CliError("give a recording or --sim, not both", EXIT_USAGE)
    if args.record is not None:
        if not live:
            raise CliError("--record keeps a live capture: add -p PORT or --sim", EXIT_USAGE)
        try:
            format_of(args.record)
        except RecordingError as e:
            raise CliError(str(e), EXIT_USAGE) from None
    if args.plot and args.output is None:
        from .plotting import no_window_reason

        if reason := no_window_reason():
            raise CliError(f"cannot open a plot window: {reason}; write an image with -o FILE.png")
    to_stdout = args.json == "-"
    # with the JSON on standard output, the rest goes to standard error
    ui = Ui(sys.stderr if to_stdout else None)
    try:
        if live:
            with stop_on_interrupt() as stop:
                report = capture(ui, args, stop)
        else:
            ui.note(f"reading {args.recording}")
            report = characterise_recording(args.recording, progress=lambda what: None)
    except NotStill as e:
        raise CliError(f"refused: {e}") from None
    except (NoiseDataError, RecordingError) as e:
        raise CliError(str(e)) from None
    s = report.sampling
    ui.line(
        f"{report.source}: {s.samples} samples every {s.interval * 1000:.4g} ms ({s.duration:.1f} s)"
        + (f", device {report.device_id}" if report.device_id else "")
    )
    for note in report.notes():
        ui.note(note)
    ui.print(table(report))
    written = []
    if args.json is not None:
        text = json.dumps(report.as_json(), indent=1)
        if to_stdout:
            print(text)
        else:
            written.append(_write(args.json, text + "\n"))
    if args.yaml is not None:
        written.append(_write(args.yaml, report.imu_yaml()))
    if args.save:
        from ..procedures import noise_profile

        try:
            profile = noise_profile.NoiseProfile.from_report(report)
        except ValueError as e:
            raise CliError(f"cannot save a noise profile: {e}") from None
        written.append(noise_profile.save(profile))
    if args.output is not None:
        from .noise_plot import noise_figure
        from .plotting import require_matplotlib

        require_matplotlib()
        written.append(noise_figure(report, args.output))
    for path in written:
        ui.line(f"wrote {path}")
    if args.plot and args.output is None:
        from .noise_plot import show_noise

        show_noise(report)
    return 0


def _write(path: str, text: str) -> str:
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror or e}") from None
    return path
