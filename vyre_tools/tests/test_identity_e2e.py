"""Devices found by identity and followed across an unplug, end to end: the
vyre command and the library's reconnecting stream against simulated
devices, which keep stable links as /dev/serial/by-id does.  Every test has
a link directory of its own, so simulators of other runs are not found."""

import json
import re
import signal
import statistics
import time

import pytest

from vyre_tools.reconnect import batches
from vyre_tools.sim import Simulator

from .cli_support import (assert_one_line_error, client_ready, read_csv,  # noqa: F401
                          run_vyre, start_vyre)

pytestmark = pytest.mark.usefixtures("client_ready")

RATE = 200
GAP = re.compile(r"reconnected on (\S+) after ([\d.]+) s; ([\d.]+) s of device time lost "
                 r"\((\d+) packets missing by its timestamps\)")


@pytest.fixture(autouse=True)
def links(tmp_path, monkeypatch):
    path = tmp_path / "links"
    monkeypatch.setenv("VYRE_SIM_LINKS", str(path))
    return path


@pytest.fixture
def three_sims():
    """Devices 0xA1, 0xB2 and 0xB2 again, in this process (the vyre command
    that asks them runs in a child)."""
    with Simulator(device_id=0xA1, rate=0) as a, Simulator(device_id=0xB2, rate=0) as b, \
            Simulator(device_id=0xB2, rate=0) as c:
        yield a, b, c


@pytest.mark.parametrize("identity,status,found,named", [
    ("id=0xa1", 0, [0], []),
    ("id=00000000000000B2", 1, [], [1, 2]),
    ("id=0xC3", 1, [], [0, 1, 2]),
    ("serial=NOPE", 1, [], [0, 1, 2]),
    ("id=0xG1", 2, [], []),
], ids=["one", "several", "none", "no-usb-match", "bad-syntax"])
def test_info_finds_the_device_an_identity_names(three_sims, identity, status, found, named):
    proc = run_vyre("info", "--port", identity)
    if status == 0:
        assert proc.returncode == 0, proc.stderr
        assert "0x00000000000000A1" in proc.stdout
        return
    fragment = {2: "takes the device's id in hex", 1: "devices match" if len(named) == 2
                else "no device matches"}[status]
    assert_one_line_error(proc, status, fragment, *(three_sims[i].link_path for i in named))


def test_ports_probe_marks_the_simulated_devices(three_sims):
    a, b, c = three_sims
    with Simulator(device_id=0xD4, rate=0, silent=True) as mute:
        proc = run_vyre("ports", "--probe", "--json")
        assert proc.returncode == 0, proc.stderr
        by_port = {p["port"]: p for p in json.loads(proc.stdout)}
        for sim, device_id in ((a, "0x00000000000000A1"), (b, "0x00000000000000B2"),
                               (c, "0x00000000000000B2")):
            port = by_port[sim.link_path]
            assert (port["simulated"], port["is_vyre"], port["device_id"], port["firmware"]) == (
                True, True, device_id, "1.4.2")
        assert not by_port[mute.link_path]["is_vyre"]
        assert "no answer" in by_port[mute.link_path]["probe_error"]


def assert_one_gap(timestamps, seconds, missing):
    """Every interval one period but the gap's, which is as reported."""
    steps = [b - a for a, b in zip(timestamps, timestamps[1:])]
    gaps = [d for d in steps if d > 1.5 / RATE]
    assert gaps == [pytest.approx(seconds, abs=1e-3)]
    assert missing == round(seconds * RATE) - 1 > 0
    assert statistics.median(steps) == pytest.approx(1 / RATE, rel=1e-3)


def test_batches_carry_on_after_a_replug_and_report_the_gap_once():
    with Simulator.spawn(rate=RATE, device_id=0xE5) as sim:
        link = sim.link_path
        got, gaps, replugged = [], [], False
        for batch in batches(link):
            got.extend(p.timestamp_seconds for p in batch.packets)
            if batch.gap is not None:
                gaps.append(batch.gap)
            if not replugged and len(got) > RATE // 2:
                sim.replug(0.4)
                replugged = True
            if gaps and got[-1] > gaps[0].seconds + 1.0:
                break
        status = sim.status()
    assert status["replugs"] == 1
    [gap] = gaps
    assert gap.port == link and gap.waited > 0.4
    assert_one_gap(got, gap.seconds, gap.missing)


def test_stream_reconnects_and_records_both_sides_of_the_gap(tmp_path):
    record = tmp_path / "r.csv"
    proc = run_vyre("stream", "--sim", "--reconnect", "--sim-option", "replug_after=1",
                    "--sim-option", "replug_delay=0.5", "--sim-option", f"rate={RATE}",
                    "-d", "3", "--record", record)
    assert proc.returncode == 0, proc.stderr
    [(port, waited, seconds, missing)] = GAP.findall(proc.stdout)
    assert "vyre-sim_" in port
    header, rows = read_csv(record)
    timestamps = [row[header.index("timestamp_seconds")] for row in rows]
    assert timestamps[0] < 1.0 and timestamps[-1] > 2.0  # before and after the replug
    assert_one_gap(timestamps, float(seconds), int(missing))


def test_ctrl_c_ends_the_wait_for_a_device_that_stays_away():
    proc = start_vyre("stream", "--sim", "--reconnect", "--sim-option", "replug_after=0.5",
                      "--sim-option", "replug_delay=600")
    try:
        deadline = time.monotonic() + 60
        while "waiting for it to come back" not in proc.stdout.readline():
            assert time.monotonic() < deadline and proc.poll() is None
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 130, err
    assert "stopped waiting for the device to come back" in err and "Traceback" not in out + err
