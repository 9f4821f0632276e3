"""The vyre command against the simulated device, through the real module
and a real pseudo-terminal; each command runs in a child process, as a user
starts it, so that signals reach it as they would from a terminal."""

import json
import os
import re
import signal
import subprocess
import sys
import time

import pytest

from vyre_tools.mocklog import write_mock_log
from vyre_tools.sim import Simulator

from .cli_support import (
    FIELDS,
    assert_one_line_error,
    assert_png,
    cli_env,
    client_ready,  # noqa: F401
    read_csv,
    run_vyre,
    start_vyre,
)

pytestmark = pytest.mark.usefixtures("client_ready")

SUMMARY = re.compile(
    r"received (\d+) packets in ([\d.]+) s \(([\d.]+) packets/s\); "
    r"gaps (\d+) \((\d+) packets missing\); (\d+) out of order"
)


@pytest.fixture
def simulated(request):
    with Simulator.spawn(**getattr(request, "param", {})) as s:
        yield s


def with_sim(**options):
    return pytest.mark.parametrize("simulated", [options], indirect=True, ids=[""])


def streaming(simulated, frames):
    """Waits until a stream asked for the configuration and ``frames``
    telemetry frames more have gone out on the line after the stale data a
    new session drops (at most 2 s of it, counted from the open, which comes
    before the request)."""
    status = simulated.wait_status(lambda s: s["commands_by_id"].get("2"), timeout=30)
    after = status["telemetry_sent"] + 2 * status["frequency"] + frames
    simulated.wait_status(
        lambda s: s["telemetry_sent"] >= after and s["pending_output_bytes"] == 0, timeout=30
    )


def interrupt(proc, timeout=60):
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=timeout)
    assert "Traceback" not in out + err
    return proc.returncode, out, err


@with_sim(device_id=0x1234ABCD, firmware="2.0.1", name="BENCH-7", rate=250, protocol=2)
def test_info_shows_identity_configuration_and_calibration(simulated):
    proc = run_vyre("info", "--port", simulated.port_name)
    assert proc.returncode == 0, proc.stderr
    for text in ("0x000000001234ABCD", "2.0.1", "BENCH-7", "250 Hz", "UART", "magnetometer"):
        assert text in proc.stdout
    # a fresh device holds neutral calibrations: three identity matrices
    assert proc.stdout.count("1.0000   0.0000   0.0000") == 3


@with_sim(rate=500)
def test_stream_records_every_packet_and_the_recording_plots(simulated, tmp_path):
    import vyre_client

    record = tmp_path / "run.csv"
    proc = run_vyre("stream", "--port", simulated.port_name, "--duration", "2", "--record", record)
    assert proc.returncode == 0, proc.stderr
    packets, seconds, rate, gaps, missing, disorder = SUMMARY.search(proc.stdout).groups()
    assert f"recorded {packets} packets to {record}" in proc.stdout
    assert (gaps, missing, disorder) == ("0", "0", "0")
    # about the rate; however late the window starts, never more than the device sent
    assert 0.5 * 500 * float(seconds) <= int(packets) <= simulated.status()["telemetry_sent"]

    header, rows = read_csv(record)
    assert (
        header
        == [*vyre_client.VYREDataPacket.__struct_fields__, "host_time_seconds", "synced_time_seconds"]
        == [*FIELDS, "host_time_seconds", "synced_time_seconds"]
    )
    assert len(rows) == int(packets)
    steps = [b[0] - a[0] for a, b in zip(rows, rows[1:])]
    assert all(0 < step < 1.5 / 500 for step in steps)
    col = {name: i for i, name in enumerate(header)}
    for row in rows:
        assert 19 < row[col["temperature_celsius"]] < 21
        assert 0.9 < row[col["raw_rotated_acceleration_z_gs"]] < 1.1  # gravity, whatever the turn
    # the live view's last frame shows values with their units
    assert "packets/s" in proc.stdout and "°C" in proc.stdout and "Mach number" in proc.stdout
    assert re.search(r"clock synced, drift [+-]\d+\.\d ppm \(± \d+\.\d\)", proc.stdout)

    png = tmp_path / "run.png"
    plotted = run_vyre("plot", record, "-o", png)
    assert plotted.returncode == 0, plotted.stderr
    assert f"plotted {packets} samples" in plotted.stdout
    assert_png(png)


def test_stream_on_a_simulated_device_of_its_own():
    proc = run_vyre("stream", "--sim", "--sim-option", "rate=100", "--duration", "1.5")
    assert proc.returncode == 0, proc.stderr
    assert "simulated device on /dev/" in proc.stdout
    packets, seconds = SUMMARY.search(proc.stdout).groups()[:2]
    assert 0.5 * 100 * float(seconds) <= int(packets) <= 1.3 * 100 * float(seconds) + 20


@pytest.mark.parametrize(
    "records,options",
    [
        (600, ("--speed", "4")),
        # queued at once, far ahead of the link: the closing cancel must not
        # overtake the last of them
        (20000, ("--no-realtime",)),
    ],
)
def test_replay_reaches_the_device_complete_and_in_order(simulated, tmp_path, records, options):
    log = write_mock_log(tmp_path / "flight.log", records, 0.005)
    proc = run_vyre("replay", tmp_path / "flight.log", "--port", simulated.port_name, *options)
    assert proc.returncode == 0, proc.stderr
    logged = re.search(rf"replayed {records} of {records} records \(([\d.]+) s of log time\)", proc.stdout)
    assert float(logged.group(1)) == pytest.approx((records - 1) * 0.005, abs=0.01)
    assert "the device left mock mode" in proc.stdout
    s = simulated.status()
    assert s["mock_records"] == records and s["mock_outside"] == 0
    assert s["mock_digest"] == log.stream_digest()
    assert not s["mock_mode"]
    if options == ("--speed", "4"):
        span = s["mock_last_arrival"] - s["mock_first_arrival"]
        assert 0.5 < span < 3.0  # 3 s of log at four times its pace, less the first records


# the tumble at 2.5 times its pace: 2 s of it cover a third of the directions
# or more (as 5 s at its own pace do), clear of the quarter a calibration must
# cover to be kept
@with_sim(rate=400, tumble_rates=(75, 180, 475))
def test_calibration_reports_quality_and_draws_the_sphere(simulated, tmp_path):
    # twice: the second run starts on a calibrated device, whose samples
    # must not be mistaken for raw ones
    for run in range(2):
        png = tmp_path / f"mag{run}.png"
        plot = ["--plot", png] if run == 0 else []  # drawn once: the same drawing code either run
        proc = run_vyre(
            "calibrate-mag", "--port", simulated.port_name, "--duration", "2", "--lead-in", "0", *plot
        )
        assert proc.returncode == 0, proc.stderr
        out = proc.stdout
        assert "turn the device slowly through all orientations" in out.lower()
        # the library's fit, in a table of its own instead of its three lines
        assert "Calibration result:" not in out
        assert out.index("Magnetometer fit") < out.index("Calibration quality")
        library_b = [float(x) for x in re.search(r"offsets b\s+\((.*?)\)", out).group(1).split(",")]
        fitted = int(re.search(r"samples fitted\s+(\d+)", out).group(1))
        assert re.search(r"residuals\s+[\d.]+ µT rms, [\d.]+ µT largest", out)
        samples = int(re.search(r"samples in the collection window\s+(\d+)", out).group(1))
        before, after = (float(x) for x in re.findall(r"([\d.]+) % relative spread", out))
        coverage = int(re.search(r"directions covered\s+(\d+) %", out).group(1))
        assert 0.5 * 2 * 400 <= samples <= 1.05 * 2 * 400  # none from after the window
        assert abs(fitted - samples) <= 0.05 * samples
        # raw: stretched by the soft iron; calibrated: only the 0.1 µT noise
        # is left (0.2 %), which one sample taken after the fit was applied
        # would double
        assert before > 5 and after < 0.3
        assert 25 <= coverage <= 100
        applied = simulated.status()["mag_calibration"]["offsets"]
        assert applied == pytest.approx(library_b, abs=1e-5)
        assert applied == pytest.approx([12.0, -7.0, 4.0], abs=0.5)  # the simulated hard iron
        if plot:
            assert_png(png)


@with_sim(silent=True)
@pytest.mark.parametrize(
    "args,fragments",
    [
        (("info",), ["did not answer the device-info request within 0.5 s"]),
        # the calibration the device has is read first, to be restored
        (("calibrate-mag", "-d", "1", "--lead-in", "0"), ["did not answer the device-info request"]),
        (("replay", "LOG"), ["did not start the replay", "Timed out waiting for mock acknowledgement"]),
    ],
)
def test_a_silent_device_is_reported_not_waited_for(simulated, tmp_path, args, fragments):
    write_mock_log(tmp_path / "x.log", 100, 0.01)
    args = [str(tmp_path / "x.log") if a == "LOG" else a for a in args]
    proc = run_vyre(*args, "--port", simulated.port_name, "--timeout", "0.5")
    assert_one_line_error(proc, 1, *fragments)


@pytest.mark.parametrize(
    "simulated, fragments",
    [
        ({"rate": 0}, ["no telemetry arrived"]),
        (
            {"rate": 100, "corrupt_rate": 1.0},
            ["no telemetry came through", "bytes arrived", "failed the CRC check"],
        ),
    ],
    indirect=["simulated"],
    ids=["silent", "all-spoiled"],
)
def test_stream_without_telemetry_fails(simulated, fragments):
    proc = run_vyre("stream", "--port", simulated.port_name, "--duration", "1")
    assert_one_line_error(proc, 1, *fragments)
    assert "received 0 packets" in proc.stdout
    crc_failures = re.search(r"(\d+) frames failed the CRC check", proc.stderr)
    assert (crc_failures is not None and int(crc_failures.group(1)) > 0) == (len(fragments) > 1)


@pytest.mark.parametrize(
    "simulated, bad",
    [
        ({"rate": 300}, []),
        ({"rate": 300, "corrupt_rate": 0.1}, ["packet rate", "packets missing", "CRC failures"]),
        ({"rate": 300, "answer_delay": 0.7}, ["command round trips"]),
    ],
    indirect=["simulated"],
    ids=["good", "spoiled", "slow-answers"],
)
def test_link_check_verdict(simulated, bad):
    # the duration as on every command; --seconds (the older name) in the next test
    proc = run_vyre("link-check", "--port", simulated.port_name, "--duration", "3")
    assert "link statistics" in proc.stdout and "crc rejected" in proc.stdout
    if not bad:
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert "verdict: good link" in proc.stdout
        assert re.search(r"command round trips +ok +(\d+) of \1 answered, p50 [\d.]+ ms", proc.stdout)
        assert re.search(
            r"device clock: drift [+-]\d+\.\d ppm \(± \d+\.\d\), jitter \d+ us \(p99\), 0 resets", proc.stdout
        )
    else:
        assert_one_line_error(proc, 1, f"bad link on {simulated.port_name}: ", *bad)
        assert "verdict: bad link" in proc.stdout


@with_sim(name="BENCH-7", rate=250, protocol=2)
def test_config_set_changes_what_is_given_and_reads_it_back(simulated):
    proc = run_vyre("config", "set", "--port", simulated.port_name, "--frequency", "125", "--protocol", "spi")
    assert proc.returncode == 0, proc.stderr
    proc = run_vyre("config", "show", "--json", "--port", simulated.port_name)
    assert json.loads(proc.stdout) == {
        "port": simulated.port_name,
        "name": "BENCH-7",
        "frequency_hz": 125,
        "protocol": "SPI",
    }
    # a frequency beyond what the link carries is refused (not reported as a
    # time-out), and nothing changes
    proc = run_vyre("config", "set", "--port", simulated.port_name, "--frequency", "3000", "--name", "other")
    assert_one_line_error(proc, 1, "the device refused the configuration")
    assert "within" not in proc.stderr
    assert "BENCH-7" in run_vyre("config", "show", "--port", simulated.port_name).stdout
    # the older spelling of link-check's duration still works
    proc = run_vyre("link-check", "-s", "0.5", "--port", simulated.port_name)
    assert proc.returncode != 2 and "link statistics" in proc.stdout, proc.stderr


def test_unplugging_during_a_stream_ends_it_with_one_line(simulated):
    proc = start_vyre("stream", "--port", simulated.port_name)
    try:
        streaming(simulated, 20)
        simulated.hang_up()
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 1
    assert "Traceback" not in out + err
    assert err.startswith(f"vyre: the link to {simulated.port_name} failed") and err.count("\n") == 1
    assert int(SUMMARY.search(out).group(1)) > 0  # what came before the unplug is still told


def test_ctrl_c_ends_a_stream_cleanly_with_its_recording_complete(simulated, tmp_path):
    record = tmp_path / "r.csv"
    proc = start_vyre("stream", "--port", simulated.port_name, "--record", record)
    try:
        streaming(simulated, 100)
        status, out, err = interrupt(proc)
    finally:
        proc.kill()
    assert status == 130, err
    assert "stopped by Ctrl-C" in out
    packets = int(SUMMARY.search(out).group(1))
    assert packets > 50
    assert len(read_csv(record)[1]) == packets


def test_ctrl_c_stops_a_replay_and_ends_mock_mode(simulated, tmp_path):
    write_mock_log(tmp_path / "long.log", 3000, 0.004)  # 12 s of log
    proc = start_vyre("replay", tmp_path / "long.log", "--port", simulated.port_name)
    try:
        simulated.wait_status(lambda s: s["mock_records"] > 100, timeout=30)
        status, out, err = interrupt(proc)
    finally:
        proc.kill()
    assert status == 130, err
    sent = int(re.search(r"stopped by Ctrl-C: replayed (\d+) of 3000 records", out).group(1))
    assert "the device left mock mode" in out
    s = simulated.status()
    assert not s["mock_mode"]
    # the cancel went last: what left the host reached mock mode, nothing after it
    assert 100 < s["mock_records"] == sent < 3000 and s["mock_outside"] == 0


def stopped(sim):
    """The simulated device frozen (SIGSTOP) while the block runs."""
    import contextlib

    @contextlib.contextmanager
    def frozen():
        os.kill(sim.pid, signal.SIGSTOP)
        try:
            yield
        finally:
            os.kill(sim.pid, signal.SIGCONT)

    return frozen()


@pytest.mark.parametrize("pace", ["--no-realtime", "--speed=1"])  # stalled after or while streaming
def test_a_device_that_stops_taking_data_fails_the_replay_with_the_true_count(simulated, tmp_path, pace):
    write_mock_log(tmp_path / "flight.log", 50000, 0.005)
    proc = start_vyre(
        "replay", tmp_path / "flight.log", "--port", simulated.port_name, pace, "--timeout", "2"
    )
    try:
        simulated.wait_status(lambda s: s["mock_records"] > 0, timeout=30)
        with stopped(simulated):  # until the command gives up, while it waits for the cancel
            seen = ""
            while "leave mock mode" not in seen and (line := proc.stdout.readline()):
                seen += line
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 1, (seen + out, err)
    assert "the device took no data for 2 s" in err and "replayed 50000" not in seen + out
    left = int(re.search(r"at least (\d+) of 50000 records left the host", err).group(1))
    s = simulated.wait_status(lambda s: not s["mock_mode"], timeout=30)
    # the cancel came last; the write it cut short carried at most a slice (2000 bytes) more,
    # and the freeze may have cut a frame the simulated device then gave up
    assert 0 < left - 1 <= s["mock_records"] <= left + 100 < 50000 and s["mock_outside"] == 0


def test_a_replay_waits_out_a_pause_of_the_device_shorter_than_the_timeout(simulated, tmp_path):
    write_mock_log(tmp_path / "flight.log", 4000, 0.005)  # 5 s at four times its pace
    proc = start_vyre(
        "replay", tmp_path / "flight.log", "--port", simulated.port_name, "--speed", "4", "--timeout", "4"
    )
    try:
        simulated.wait_status(lambda s: s["mock_records"] > 500, timeout=30)
        with stopped(simulated):
            time.sleep(2)  # the pause itself, not a wait for something
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    assert "replayed 4000 of 4000 records" in out and "the device left mock mode" in out
    s = simulated.status()
    # the freeze may cut a frame, which the simulated device then gives up
    assert 4000 - 1 <= s["mock_records"] <= 4000 and s["mock_outside"] == 0 and not s["mock_mode"]


# The demo's steps with shorter windows (and the tumble at 2.5 times its pace
# for the shorter calibration): the tests above run each step at length, and
# scripts/wheel-check runs the demo itself.
SHORT_DEMO = """
import sys
from vyre_tools import cli
from vyre_tools.cli import connection, demo
demo.STREAM_SECONDS, demo.CALIBRATION_SECONDS, demo.LOG_INTERVAL = 1.5, 2.0, 0.001
demo.start_simulator = lambda: connection.start_simulator(tumble_rates=(75, 180, 475))
sys.exit(cli.main(["demo"]))
"""


def test_demo_passes_every_step():
    proc = subprocess.run(
        [sys.executable, "-c", SHORT_DEMO],
        capture_output=True,
        text=True,
        timeout=180,
        env=cli_env(),
        stdin=subprocess.DEVNULL,
    )
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr
    assert re.search(r"demo: all 4 steps passed in [\d.]+ s", proc.stdout)
    for step in ("ok device info", "ok live telemetry", "ok magnetometer calibration", "ok mock log replay"):
        assert step in proc.stdout


@pytest.mark.parametrize(
    "command",
    [["ports"], ["ports", "--json"], ["link-check", "--seconds", "0.5"]],
    ids=["ports", "ports-json", "link-check"],
)
def test_a_long_latency_timer_is_shown_with_how_to_lower_it(simulated, tmp_path, command):
    name = os.path.basename(os.path.realpath(simulated.port_name))
    timer = tmp_path / "class" / "tty" / name / "device" / "latency_timer"
    timer.parent.mkdir(parents=True)
    timer.write_text("16\n")
    if command[0] == "link-check":
        command += ["--port", simulated.port_name]
    proc = run_vyre(*command, VYRE_SYSFS=str(tmp_path))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    if "--json" in command:
        ours = [
            p
            for p in json.loads(proc.stdout)
            if os.path.realpath(p["device"]) == os.path.realpath(simulated.port_name)
        ]
        assert [p["latency_timer_ms"] for p in ours] == [16]
    else:
        assert "latency timer 16 ms" in proc.stdout
        assert f"echo 1 | sudo tee {timer}" in proc.stdout.replace("\n", "")
