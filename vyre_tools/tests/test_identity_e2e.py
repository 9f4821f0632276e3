"""Devices found by identity and followed across an unplug, end to end: the
vyre command and the library's reconnecting stream against simulated
devices, which keep stable links as /dev/serial/by-id does.  Every test has
a link directory of its own, so simulators of other runs are not found."""

import contextlib
import json
import os
import re
import select
import termios
import threading
import time

import pytest

from vyre_tools import devices
from vyre_tools.reconnect import ReconnectingClient, batches
from vyre_tools.sim import Simulator

from .cli_support import (
    assert_one_line_error,
    client_ready,  # noqa: F401
    run_vyre,
    start_vyre,
)

pytestmark = pytest.mark.usefixtures("client_ready")

RATE = 200
GAP = re.compile(
    r"reconnected on (\S+) after ([\d.]+) s; ([\d.]+) s of device time lost "
    r"\((\d+) packets missing by its timestamps\)"
)


@pytest.fixture(autouse=True)
def links(tmp_path, monkeypatch):
    path = tmp_path / "links"
    monkeypatch.setenv("VYRE_SIM_LINKS", str(path))
    return path


@pytest.fixture
def three_sims():
    """Devices 0xA1, 0xB2 and 0xB2 again, in this process (the vyre command
    that asks them runs in a child)."""
    with (
        Simulator(device_id=0xA1, rate=0) as a,
        Simulator(device_id=0xB2, rate=0) as b,
        Simulator(device_id=0xB2, rate=0) as c,
    ):
        yield a, b, c


@pytest.mark.parametrize(
    "identity,status,found,named",
    [
        ("id=0xa1", 0, [0], []),
        ("id=00000000000000B2", 1, [], [1, 2]),
        ("id=0xC3", 1, [], [0, 1, 2]),
        ("serial=NOPE", 1, [], [0, 1, 2]),
        ("id=0xG1", 2, [], []),
    ],
    ids=["one", "several", "none", "no-usb-match", "bad-syntax"],
)
def test_info_finds_the_device_an_identity_names(three_sims, identity, status, found, named):
    proc = run_vyre("info", "--port", identity)
    if status == 0:
        assert proc.returncode == 0, proc.stderr
        assert "0x00000000000000A1" in proc.stdout
        return
    fragment = {
        2: "takes the device's id in hex",
        1: "devices match" if len(named) == 2 else "no device matches",
    }[status]
    assert_one_line_error(proc, status, fragment, *(three_sims[i].link_path for i in named))


def test_ports_probe_marks_the_simulated_devices(three_sims):
    import vyre_client

    a, b, c = three_sims
    with Simulator(device_id=0xD4, rate=0, silent=True) as mute, Simulator(device_id=0xE5, rate=0) as held:
        holder = vyre_client.VYREClient(held.port_name)
        proc = run_vyre("ports", "--probe", "--json")
        del holder
        assert proc.returncode == 0, proc.stderr
        by_port = {p["port"]: p for p in json.loads(proc.stdout)}
        for sim, device_id in (
            (a, "0x00000000000000A1"),
            (b, "0x00000000000000B2"),
            (c, "0x00000000000000B2"),
        ):
            port = by_port[sim.link_path]
            assert (port["simulated"], port["is_vyre"], port["device_id"], port["firmware"]) == (
                True,
                True,
                device_id,
                "1.4.2",
            )
        assert not by_port[mute.link_path]["is_vyre"]
        assert "no answer" in by_port[mute.link_path]["probe_error"]
        assert by_port[held.link_path]["probe_error"] == ("cannot open: busy (in use by another program)")


@pytest.mark.parametrize(
    "unsafe,why", [("writable by others", "others can write"), ("another owner", "it belongs to uid 65534")]
)
def test_links_in_a_folder_others_control_are_ignored(tmp_path, monkeypatch, unsafe, why):
    """Anyone may create the shared fallback folder first and plant a link to
    someone's terminal there: a probe would switch it to raw mode and write
    to it."""
    folder = tmp_path / "planted"
    folder.mkdir()
    if unsafe == "writable by others":
        folder.chmod(0o777)
    elif os.geteuid() == 0:
        os.chown(folder, 65534, 65534)
    else:
        pytest.skip("making a folder another user owns takes root")
    master, terminal = os.openpty()
    try:
        before = termios.tcgetattr(terminal)
        os.symlink(os.ttyname(terminal), folder / f"vyre-sim_{0x42:016X}_{os.getpid()}.1")
        monkeypatch.setenv("VYRE_SIM_LINKS", str(folder))
        proc = run_vyre("ports", "--probe", "--json")
        assert proc.returncode == 0, proc.stderr
        assert json.loads(proc.stdout) == [p for p in json.loads(proc.stdout) if not p["simulated"]]
        assert termios.tcgetattr(terminal) == before
        assert not select.select([master], [], [], 0)[0]  # nothing was written to it
        with pytest.raises(PermissionError, match=f"refusing .*planted.*: {why}"):
            Simulator(rate=0)
    finally:
        os.close(master)
        os.close(terminal)


@pytest.mark.parametrize("stop_kind", ["event", "callable"])
def test_find_and_batches_wait_for_a_device_that_is_away(stop_kind):
    identity = "id=0xF6"
    with Simulator.spawn(rate=RATE, device_id=0xF6) as sim:
        sim.replug(0.5)  # the control channel answers once the cable is out
        assert devices.find(identity, wait=60).port == sim.link_path
        sim.replug(0.5)
        stop = threading.Event()
        got = []
        for batch in batches(identity, stop=stop if stop_kind == "event" else stop.is_set):
            got.extend(batch.packets)
            stop.set()
    assert got and batch.gap is None


def test_waiting_for_a_device_away_at_the_start_asks_the_others_once():
    """Known by its id alone and away: the device present all along is asked
    at the first look and then left alone, while a port that appears is asked."""
    with Simulator.spawn(rate=0, device_id=0xB1) as other:
        came = []
        found = devices.find(
            "id=0xC2", wait=60, on_wait=lambda text: came.append(Simulator.spawn(rate=RATE, device_id=0xC2))
        )
        try:
            assert found.port == came[0].link_path
            assert other.status()["commands_by_id"] == {"1": 1}
        finally:
            came[0].close()


def test_reconnecting_without_a_stable_name_asks_only_the_ports_that_came(tmp_path):
    """The device is known by its id alone: the other device, present all
    along, is never opened (that would reset a real board)."""
    import vyre_client

    with contextlib.ExitStack() as stack:
        other = stack.enter_context(Simulator.spawn(rate=0, device_id=0xB1))
        sim = stack.enter_context(
            Simulator.spawn(rate=RATE, device_id=0xC2, link_dir=str(tmp_path / "elsewhere"))
        )
        came = []  # back as a new simulator with the same id, once the wait began
        client = stack.enter_context(vyre_client.VYREClient(sim.port_name))
        device = ReconnectingClient(
            client,
            sim.port_name,
            on_wait=lambda text: came.append(stack.enter_context(Simulator.spawn(rate=RATE, device_id=0xC2))),
        )
        stack.callback(device.close)
        assert device.stable is None and device.serial is None
        sim.hang_up()
        deadline = time.monotonic() + 60
        while device.port == sim.port_name:
            device.get_data_packets(block=True)
            assert time.monotonic() < deadline
        assert device.port == came[0].link_path
        assert other.status()["commands_by_id"] == {}


def test_a_reconnecting_client_comes_back_when_a_command_saw_the_unplug_first():
    import vyre_client

    with Simulator.spawn(rate=RATE, device_id=0xD7) as sim, vyre_client.VYREClient(sim.port_name) as client:
        client.release_gil = True
        device = ReconnectingClient(client, sim.port_name)
        try:
            assert device.stable == sim.link_path
            sim.replug(0.5)
            with pytest.raises(ConnectionResetError):
                device.get_device_info(30)  # takes the report of the hang-up
            deadline = time.monotonic() + 60
            while not device.gaps:  # packet takes that never fail: polled
                device.get_data_packets()
                assert time.monotonic() < deadline
                time.sleep(0.02)
            assert device.port == sim.link_path and device.client is not client
        finally:
            device.close()


def test_a_reconnecting_stream_waits_for_a_device_away_at_the_start():
    proc = start_vyre("stream", "--reconnect", "--port", "id=0xE7", "--duration", "1")
    try:
        seen = ""
        while "waiting for it" not in seen and (line := proc.stdout.readline()):
            seen += line
        with Simulator.spawn(rate=RATE, device_id=0xE7):
            out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 0, (seen + out, err)
    assert "no device matches id=0xE7 yet" in seen
    assert int(re.search(r"received (\d+) packets", out).group(1)) > 0
