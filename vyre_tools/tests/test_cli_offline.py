"""The vyre command where no client is needed: arguments, plots, and
the pure parts behind replay progress, stream gaps and calibration quality."""

import math
import os
import signal
import subprocess
import sys

import pytest

from vyre_tools.cli.interrupts import stop_on_interrupt
from vyre_tools.mocklog import MockLog
from vyre_tools.procedures.log_summary import scan
from vyre_tools.procedures.magnetometer_calibration import raw_window
from vyre_tools.procedures.magnetometer_quality import assess, direction_cells
from vyre_tools.procedures.replay import UNPACED_RECORDS, ReplayPlan
from vyre_tools.procedures.telemetry_stats import GapCounter

from .cli_support import assert_one_line_error, assert_png, cli_env, run_vyre, write_recording


# ---------------------------------------------------------------- arguments


@pytest.mark.parametrize(
    "args,fragment",
    [
        ((), "required: COMMAND"),
        (("frobnicate",), "invalid choice"),
        (("stream", "--duration", "-1"), "must be a positive number"),
        (("stream", "--duration", "soon"), "not a number"),
        (("replay",), "LOG"),
        (("replay", "x.log", "--speed", "0"), "must be a positive number"),
        (("plot",), "RECORDING"),
        (("plot", "r.csv", "--channels", "pressure,speed"), "speed: choose among altitude, "),
        (("config",), "ACTION"),
        (("config", "set", "--frequency", "0"), "0 stops the telemetry"),
        (("config", "set", "--frequency", "70000"), "must be 1 to 65535, not 70000"),
        (("config", "set", "--protocol", "CAN"), "one of USB, UART, I2C, SPI"),
        (("config", "set", "--name", "x" * 33), "at most 32 bytes"),
        (("info", "--port", "/dev/ttyACM0", "--sim"), "not allowed with"),
        (("info", "--sim", "--sim-option", "colour=blue"), "unknown simulator option"),
        (("info", "--sim", "--sim-option", "rate"), "expected KEY=VALUE"),
        (("info", "--baud", "-5"), "must be positive"),
    ],
)
def test_bad_arguments_give_usage_and_status_2(args, fragment):
    proc = run_vyre(*args)
    assert proc.returncode == 2
    assert fragment in proc.stderr and "Traceback" not in proc.stderr


@pytest.mark.parametrize(
    "args,env,status,fragment",
    [
        (("info", "--port", "/dev/ttyACM97"), {}, 1, "no serial port /dev/ttyACM97"),
        (("stream", "-p", "/dev/ttyUSB97", "-d", "1"), {}, 1, "no serial port /dev/ttyUSB97"),
        (("calibrate-mag", "--port", "/dev/ttyACM97"), {}, 1, "no serial port /dev/ttyACM97"),
        (("info",), {"VYRE_PORT": "/dev/ttyACM96"}, 1, "no serial port /dev/ttyACM96"),
        (("info", "--port", "/dev/null", "--sim-option", "rate=5"), {}, 2, "add --sim"),
        # the log is checked before the port is opened
        (("replay", "/nonexistent/none.log", "--port", "/dev/ttyACM97"), {}, 1, "no such log file"),
    ],
    ids=["info", "stream", "calibrate-mag", "from-environment", "sim-option-alone", "missing-log"],
)
def test_failing_before_a_device_is_reached_takes_one_line(args, env, status, fragment):
    proc = run_vyre(*args, **env)
    assert_one_line_error(proc, status, fragment)
    if fragment.startswith("no serial port"):  # and names the ports there are
        assert "ports present: " in proc.stderr or "no serial ports are present" in proc.stderr


def test_version_names_both_parts():
    import vyre_client

    proc = run_vyre("--version")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("vyre ") and f"vyre_client {vyre_client.__version__}" in proc.stdout


def test_config_set_needs_a_value():
    assert_one_line_error(
        run_vyre("config", "set", "--port", "/dev/ttyACM97"), 1, "give --name, --frequency or --protocol"
    )


def test_the_live_view_fits_an_80_column_terminal():
    import io
    import numpy as np
    from rich.console import Console
    from vyre_tools.cli.stream import view
    from vyre_tools.recording import packet_dtype

    stats = GapCounter(1000)
    stats.packets, stats.gaps, stats.missing, stats.out_of_order = 9_999_999, 99_999, 999_999, 99_999
    latest = np.full(1, -12345.678, packet_dtype())[0]
    console = Console(width=80, file=io.StringIO(), record=True)
    console.print(view("/dev/ttyACM0", stats, 99999.9, latest, 35999.9, None))
    lines = console.export_text().splitlines()
    assert max(map(len, lines)) <= 80
    # nothing wrapped: each of the header's two lines is whole
    assert lines[0] == "VYRE telemetry /dev/ttyACM0  35999.9 s"
    assert lines[1].startswith("9999999 packets") and lines[1].endswith("99999 out of order")


# --------------------------------------------------------------------- plot


def test_the_plot_legends_lie_beside_the_data():
    from matplotlib.figure import Figure
    from vyre_tools.cli.plotting import PANELS, columns_of, draw_recording, require_matplotlib

    require_matplotlib()
    fig = Figure(figsize=(10, 22), layout="constrained")
    draw_recording(fig, {name: [0.0, 1.0, 2.0] for name in columns_of(PANELS)})
    fig.canvas.draw()
    legends = [(ax, ax.get_legend()) for ax in fig.axes if ax.get_legend()]
    assert legends
    for ax, legend in legends:
        assert not legend.get_window_extent().overlaps(ax.get_window_extent())


def test_the_plot_draws_the_chosen_channels_from_their_columns():
    from matplotlib.figure import Figure
    from vyre_tools.cli.plotting import PANELS, columns_of, draw_recording, require_matplotlib

    require_matplotlib()
    columns = {name: [i, i + 0.5, i - 0.25] for i, name in enumerate(columns_of(PANELS))}
    fig = Figure()
    draw_recording(fig, columns, panels=["magnetic-field", "temperature", "angular-rate"])
    assert [ax.get_title(loc="left") for ax in fig.axes] == ["Magnetic field", "Temperature", "Angular rate"]
    drawn = [list(line.get_ydata()) for ax in fig.axes for line in ax.get_lines()]
    wanted = [*(f"magnetic_field_{a}_microteslas" for a in "xyz"), "temperature_celsius"]
    wanted += [f"raw_angular_rate_{a}_deg_per_s" for a in "xyz"]
    assert drawn == [columns[name] for name in wanted]


def test_plot_without_output_says_there_is_no_display(tmp_path):
    csv_path = tmp_path / "r.csv"
    write_recording(csv_path)
    proc = run_vyre("plot", csv_path, DISPLAY="", WAYLAND_DISPLAY="")
    assert_one_line_error(proc, 1, "cannot open a plot window: there is no display", "-o FILE.png")


def test_plot_draws_a_recording(tmp_path):
    csv_path = write_recording(tmp_path / "flight.csv", n=400)
    png = tmp_path / "flight.png"
    proc = run_vyre("plot", csv_path, "-o", png, "--channels", "pressure, acceleration,pressure")
    assert proc.returncode == 0, proc.stderr
    assert "plotted 400 samples (2.00 s)" in proc.stdout
    assert "panels: pressure, acceleration\n" in proc.stdout
    assert_png(png)


NOT_RECORDINGS = [
    ("", "is empty"),
    ("a,b,c\n1,2,3\n", "not a telemetry recording: no column timestamp_seconds, "),
    ("timestamp_seconds,est_position_z_meters\n1,2\n", "no column temperature_celsius"),
    ("long-name", "unknown column 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...'"),
    (None, "line 3: not a row of numbers"),
]


@pytest.mark.parametrize(
    "command,content,fragment",
    [
        *[(command, *case) for command in ("plot", "convert") for case in NOT_RECORDINGS],
        ("plot", "header-only", "holds no samples"),
    ],
)
def test_plot_and_convert_refuse_what_is_not_a_recording(tmp_path, command, content, fragment):
    from .cli_support import FIELDS

    path = tmp_path / "bad.csv"
    if content is None:  # a good header and row, then a broken row
        write_recording(path, n=1)
        with open(path, "a") as f:
            f.write("1,2,three\n")
    elif content == "header-only":
        write_recording(path, n=0)
    elif content == "long-name":  # every column, and one more with a 200,000-character name
        path.write_text(",".join([*FIELDS, "x" * 200_000]) + "\n" + ",".join(["0"] * 24) + "\n")
    else:
        path.write_text(content)
    out = tmp_path / ("out.png" if command == "plot" else "out.npz")
    proc = run_vyre(command, path, *(["-o"] if command == "plot" else []), out)
    assert_one_line_error(proc, 1, fragment)
    assert len(proc.stderr) < 1000
    assert not out.exists()


def test_plot_reports_an_unwritable_image(tmp_path):
    csv_path = write_recording(tmp_path / "r.csv", n=10)
    assert_one_line_error(run_vyre("plot", csv_path, "-o", tmp_path / "no" / "r.png"), 1, "cannot write")


# ------------------------------------------------------------- mock logs


def _log(*steps):
    log = MockLog()
    for step in steps:
        if isinstance(step, bytes):
            log.raw(step)
        elif step == "end":
            log.end()
        else:
            log.add(*step)
    return log


def _logs():
    yield "plain", MockLog().add_series(40, 0.002)
    log = MockLog().add_series(5, 0.01, kinds="I").pad(20).add_series(5, 0.01, kinds="M")
    yield "padding of 20 zeros", log
    yield "junk between records", _log(("A", 10), b"H\x07\xff", ("B", 168_010))
    yield "wrapped clock", _log(("A", 100), ("B", 50))
    yield "records after the end marker", _log(("I", 0), ("M", 84_000_000), "end", ("A", 5))
    yield "header only", MockLog()


@pytest.mark.parametrize("name,log", list(_logs()), ids=[n for n, _ in _logs()])
def test_log_scan_counts_and_times_records_as_sent(name, log):
    summary = scan(log.to_bytes())
    assert summary.records == len(log.records)
    assert summary.delays == pytest.approx(log.delays(), abs=1e-12)
    assert summary.ended_by_marker == log.ended


def test_log_scan_ignores_a_cut_record_and_refuses_a_short_file():
    data = MockLog().add_series(3, 0.1).to_bytes()
    assert scan(data[:-1]).records == 2
    with pytest.raises(ValueError, match="286-byte header"):
        scan(data[:285])


@pytest.mark.parametrize("realtime", [True, False])
def test_replay_progress_follows_the_pacing(realtime):
    log = MockLog().add_series(1000, 0.01)  # 10 s of log
    plan = ReplayPlan("x.log", scan(log.to_bytes()), speed=2.0, realtime=realtime)
    counts = [plan.queued_at(t / 10) for t in range(0, 120)]
    assert counts[0] == 0 and counts == sorted(counts) and counts[-1] == 1000
    if realtime:
        # the first 75 and a batch at once, then the log's clock at twice its speed
        assert plan.queued_at(0.15) == UNPACED_RECORDS + 10
        assert plan.queued_at(0.1 + 2.5) == pytest.approx(75 + 500, abs=10)
    else:
        assert plan.queued_at(0.1 + 0.01) == 1000
    assert plan.log_time(1000) == pytest.approx(9.99)


# -------------------------------------------------- calibration quality


def _sphere(n):
    """n directions spread evenly over the sphere (Fibonacci lattice)."""
    golden = math.pi * (3 - math.sqrt(5))
    for i in range(n):
        z = 1 - 2 * (i + 0.5) / n
        r = math.sqrt(1 - z * z)
        yield r * math.cos(golden * i), r * math.sin(golden * i), z


def test_quality_sees_the_ellipsoid_become_a_sphere():
    # raw = S·f + h; the exact calibration is A = S⁻¹, b = h
    s = (1.2, 0.0, 0.0, 0.0, 0.8, 0.0, 0.0, 0.0, 1.0)
    a = (1 / 1.2, 0.0, 0.0, 0.0, 1 / 0.8, 0.0, 0.0, 0.0, 1.0)
    h = (10.0, -5.0, 3.0)
    raw = [(s[0] * 50 * x + h[0], s[4] * 50 * y + h[1], s[8] * 50 * z + h[2]) for x, y, z in _sphere(2000)]
    q = assess(raw, h, a)
    assert q.samples == 2000
    assert q.raw_spread > 0.1
    assert q.corrected_mean == pytest.approx(50, rel=1e-9)
    assert q.corrected_spread < 1e-9
    assert q.coverage == 1.0


def test_calibration_window_ends_at_the_collection_time_on_the_host_clock():
    np = pytest.importorskip("numpy")
    rows = np.zeros(
        4,
        dtype=[
            ("magnetic_field_x_microteslas", "f4"),
            ("magnetic_field_y_microteslas", "f4"),
            ("magnetic_field_z_microteslas", "f4"),
            ("host_time_seconds", "f8"),
        ],
    )
    rows["host_time_seconds"] = [9.5, 10.0, 10.0 + 1e-6, 11.0]
    rows["magnetic_field_x_microteslas"] = [1, 2, 3, 4]
    # what came after the collection time could carry the fit already
    assert raw_window(rows, 10.0) == [(1.0, 0.0, 0.0), (2.0, 0.0, 0.0)]


@pytest.mark.parametrize(
    "points,expected",
    [
        ([(0, 0, 1)] * 50, 1 / 72),
        ([(x, y, abs(z)) for x, y, z in _sphere(5000)], 0.5),
        ([(x, y, z) for x, y, z in _sphere(5000) if x > 0], 0.5),
        ([(0, 0, 0), (math.nan, 0, 0)], 0.0),
    ],
)
def test_direction_coverage_counts_equal_area_cells(points, expected):
    assert len(direction_cells(points)) / 72 == pytest.approx(expected, abs=0.02)


# ------------------------------------------------------------- Ctrl-C


def test_first_interrupt_asks_to_stop_and_second_interrupts():
    with stop_on_interrupt() as stop:
        os.kill(os.getpid(), signal.SIGINT)
        assert stop.requested
        with pytest.raises(KeyboardInterrupt):
            os.kill(os.getpid(), signal.SIGINT)
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_countdown_child_counts_down_then_clears_its_line():
    code = (
        "import time\nfrom vyre_tools.cli.countdown import Countdown\n"
        "with Countdown(0.6):\n    time.sleep(1.5)\nprint('after')\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60, env=cli_env())
    assert proc.returncode == 0, proc.stderr
    assert b"1 s left" in proc.stdout
    ticks = proc.stdout.split(b"\r")
    assert ticks[-1].strip() == b"after" and ticks[-2].strip() == b""


# ------------------------------------------------------------- imports


def test_finding_devices_leaves_the_simulator_unloaded():
    """Port searches read the simulators' stable links, not the simulator."""
    code = (
        "import sys, vyre_tools.devices\n"
        "print(sorted(m for m in sys.modules if m.startswith('vyre_tools.sim')))"
    )
    proc = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=cli_env()
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[]"
