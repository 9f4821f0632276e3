"""vyre ui without a browser: the missing extra, the library kept free of
NiceGUI, and the display's thinning that the plots rely on."""

import json
import socket
import subprocess
import sys

import numpy as np
import pytest

from vyre_tools.recording import packet_dtype
from vyre_tools.ui.display import DisplayBuffer, rows_json

from .cli_support import assert_one_line_error, cli_env, vyre_argv

HIDDEN = "import sys; sys.modules['nicegui'] = None; "


# the distribution not installed: vyre_tools run from a checkout
UNINSTALLED = (
    "import importlib.metadata as m; "
    "m.requires = lambda name: (_ for _ in ()).throw(m.PackageNotFoundError(name)); "
)


@pytest.mark.parametrize("where", ["installed", "checkout"])
def test_without_the_extra_vyre_ui_says_how_to_install_it(where):
    setup = HIDDEN + (UNINSTALLED if where == "checkout" else "")
    proc = subprocess.run(
        [
            sys.executable,
            "-c",
            setup + "from vyre_tools.cli import main; sys.exit(main(['ui', '--sim', '--no-browser']))",
        ],
        capture_output=True,
        text=True,
        env=cli_env(),
        timeout=60,
    )
    # the extra's own packages, into this interpreter: the package itself is on no index
    assert_one_line_error(proc, 1, f"({sys.executable} -m pip install nicegui numpy pyarrow mcap)")


@pytest.mark.parametrize("port_taken", [False, True])
def test_what_stops_vyre_ui_from_starting_is_one_line(port_taken):
    pytest.importorskip("nicegui", reason="the ui extra (NiceGUI) is not installed")
    env = cli_env()
    env.pop("PYTEST_CURRENT_TEST", None)  # NiceGUI would take itself for a test run
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        http_port = listener.getsockname()[1] if port_taken else 0
        proc = subprocess.run(
            vyre_argv("ui", "-p", "serial=NO-SUCH-DEVICE", "--no-browser", "--http-port", http_port),
            capture_output=True,
            text=True,
            env=env,
            timeout=60,
        )
    assert_one_line_error(
        proc,
        1,
        f"port {http_port}: Address already in use"
        if port_taken
        else "cannot open the device on serial=NO-SUCH-DEVICE",
    )


def test_the_library_and_the_other_commands_never_import_nicegui():
    code = (
        "import sys, vyre_client, vyre_tools.aio, vyre_tools.recording, vyre_tools.reconnect, "
        "vyre_tools.calibration_backup, vyre_tools.sim; from vyre_tools.cli import build_parser; "
        "build_parser(); print(sorted(m for m in sys.modules if m.split('.')[0] == 'nicegui'))"
    )
    proc = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=cli_env(), timeout=60
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[]"


def rows(ts):
    out = np.zeros(len(ts), packet_dtype())
    out["timestamp_seconds"] = ts
    out["pressure_pascals"] = np.round(ts * 2000)  # the row number at 2 kHz
    return out


@pytest.mark.parametrize("batch", [1, 7, 500])
def test_the_display_keeps_one_row_per_slot_whatever_the_batches(batch):
    display = DisplayBuffer(resolution=0.01, capacity=300)
    ts = np.arange(5000) / 2000.0  # 2.5 s at 2 kHz: 20 rows a slot
    for start in range(0, len(ts), batch):
        display.add(rows(ts[start : start + batch]))
    kept = display.window(10.0, ("pressure_pascals",), max_points=10_000)
    assert len(kept["timestamp_seconds"]) == 250  # the ring holds them all, in order
    assert np.all(np.diff(kept["timestamp_seconds"]) > 0)
    assert kept["pressure_pascals"][0] == 0 and kept["pressure_pascals"][-1] == 4980
    assert display.latest["pressure_pascals"] == 4999


def test_the_display_window_wraps_thins_and_starts_over():
    display = DisplayBuffer(resolution=0.01, capacity=100)
    ts = np.arange(1000) / 100.0 + 0.003  # 10 s, a tenth kept
    display.add(rows(ts))
    shown = display.window(0.495, ("pressure_pascals",))
    assert np.array_equal(shown["timestamp_seconds"], ts[950:])
    thin = display.window(100.0, ("pressure_pascals",), max_points=10)
    assert len(thin["timestamp_seconds"]) <= 10 and thin["timestamp_seconds"][-1] == ts[-1]
    display.add(rows(np.array([0.5, 0.6])))  # the device's clock started over
    assert display.window(100.0, ())["timestamp_seconds"].tolist() == [0.5, 0.6]


def test_chart_rows_are_json_with_gaps_for_what_is_not_a_number():
    window = {
        "timestamp_seconds": np.array([1.00049, 2.0]),
        "a": np.array([np.nan, 1.23456]),
        "b": np.array([np.inf, -2.0]),
    }
    assert json.loads(rows_json(window, ("a", "b"))) == [[1.0, None, None], [2.0, 1.2346, -2.0]]


@pytest.mark.parametrize("max_points, period", [(10_000, 0.005), (50, float("nan"))])
def test_a_gap_in_the_timestamps_breaks_the_line_whatever_the_thinning(max_points, period):
    display = DisplayBuffer()
    # 200 Hz, with 4 s away in the middle (an unplug)
    ts = np.concatenate((np.arange(2800) / 200.0, 18.0 + np.arange(400) / 200.0))
    display.add(rows(ts))
    shown = display.window(60.0, ("pressure_pascals",), max_points=max_points, period=period)
    t, values = shown["timestamp_seconds"], shown["pressure_pascals"]
    (gap,) = np.flatnonzero(np.isnan(values))
    assert (t[gap - 1], t[gap + 1]) == (ts[2799], 18.0)  # the samples on both sides are drawn
    assert t[gap - 1] < t[gap] < t[gap + 1]
    assert json.loads(rows_json(shown, ("pressure_pascals",)))[gap][1] is None
