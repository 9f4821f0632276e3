import json
import os
import select
import signal
import struct
import subprocess
import sys
import time

import pytest

from vyre_tools.sim import Simulator, SimulatorError
from vyre_tools.sim.control import handle_request
from vyre_tools.stable_links import live_links

from .hostside import Host

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_spawned_simulator_is_driven_from_the_parent():
    with Simulator.spawn(
        rate=500, device_id=77, hard_iron=(1, 2, 3), false_header_max_len=0xFFFFFFFF
    ) as proc:
        host = Host(proc.port_name)
        try:
            assert host.request(1)[:8] == struct.pack("<Q", 77)
            host.read_for(0.2)
            s = proc.status()
            assert s["telemetry_sent"] > 50 and s["commands_by_id"] == {"1": 1}
            assert s["hard_iron"] == [1, 2, 3] and s["false_header_max_len"] == 0xFFFFFFFF
            proc.set_silent(True)
            assert host.request(2, timeout=0.5) is None
            assert proc.wait_status(lambda s: s["commands_ignored"] == 1)
            with pytest.raises(SimulatorError, match="must not be negative"):
                proc.set_rate(-1)
            proc.hang_up()
            assert proc.status()["hung_up"]
            poller = select.poll()
            poller.register(host.fd, select.POLLIN)
            assert poller.poll(5000)[0][1] & select.POLLHUP
        finally:
            host.close()
    assert proc.returncode == 0  # SIGTERM ends it cleanly
    with pytest.raises(SimulatorError):
        proc.status()
    with pytest.raises(SimulatorError, match="closed"):
        _ = proc.pid  # a pid once reaped may be someone else's


@pytest.mark.parametrize(
    "options,error",
    [({"colour": 1}, TypeError), ({"protocol": 9}, ValueError), ({"hard_iron": (1, 2)}, ValueError)],
)
def test_spawn_refuses_bad_options(options, error):
    with pytest.raises(error):
        Simulator.spawn(**options)


@pytest.mark.parametrize(
    "line,error",
    [
        ("not json", "JSONDecodeError"),
        (json.dumps({"op": "close"}), "unknown operation"),
        (json.dumps({"op": "set_rate", "args": {"speed": 1}}), "TypeError"),
        (json.dumps({"op": "set_noise", "args": {"rate": 2}}), "within"),
        (json.dumps({"op": "set_false_header", "args": {"rate": 0.1, "max_len": 1 << 32}}), "length field"),
    ],
)
def test_control_requests_fail_softly(line, error):
    with Simulator(rate=0) as sim:
        reply = json.loads(handle_request(sim, line))
    assert not reply["ok"] and error in reply["error"]


def test_command_line_prints_the_port_and_stops_on_interrupt():
    env = dict(os.environ, PYTHONPATH=ROOT)
    proc = subprocess.Popen(
        [sys.executable, "-m", "vyre_tools.sim", "--rate", "50"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
    )
    try:
        port = proc.stdout.readline().decode().strip()
        host = Host(port)
        assert host.wait(lambda: len(host.telemetry) > 3)
        host.close()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=20)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 0 and b"telemetry frames" in err


# A script that spawns a device, then idles until interrupted; its Ctrl-C
# handler then asks the device for its id.
CTRL_C_SCRIPT = """
import sys, threading, vyre_client
from vyre_tools.sim import Simulator
with Simulator.spawn(rate=0) as sim:
    try:
        print(sim.pid, flush=True)
        threading.Event().wait()
    except KeyboardInterrupt:
        with vyre_client.VYREClient(sim.port_name) as client:
            print(client.get_device_info(timeout_seconds=10).id, flush=True)
"""


@pytest.mark.parametrize("end", ["ctrl-c", "kill"])
def test_a_spawned_device_outlives_ctrl_c_but_not_its_script(tmp_path, end):
    env = dict(os.environ, PYTHONPATH=ROOT, VYRE_SIM_LINKS=str(tmp_path))
    # the script leads a process group, as a shell's foreground job does
    script = subprocess.Popen(
        [sys.executable, "-c", CTRL_C_SCRIPT],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
        text=True,
        start_new_session=True,
    )
    try:
        assert script.stdout.readline().strip().isdigit(), script.stderr.read()
        assert live_links(str(tmp_path))
        if end == "ctrl-c":
            os.killpg(script.pid, signal.SIGINT)  # what the terminal sends its foreground group
            out, err = script.communicate(timeout=60)
            assert script.returncode == 0 and out.strip() == str(0x5659524500010042), err
        else:
            script.kill()
            script.communicate(timeout=60)
    finally:
        script.kill()
        script.wait()
    # the device leaves with its script
    deadline = time.monotonic() + 30
    while live_links(str(tmp_path)):
        assert time.monotonic() < deadline, "the device outlived its script"
        time.sleep(0.02)


def test_an_in_process_device_refuses_a_client_that_holds_the_lock():
    import vyre_client

    with Simulator(rate=0) as sim, vyre_client.VYREClient(sim.port_name) as client:
        client.release_gil = True  # lets the device's thread run while it waits
        assert client.get_device_info(timeout_seconds=10.0).id == 0x5659524500010042
        client.release_gil = False
        assert client.get_device_info(timeout_seconds=1.0) is None  # kept from answering
        with pytest.raises(SimulatorError, match="release_gil = True"):
            sim.status()
        with pytest.raises(OSError):
            client.get_device_info(timeout_seconds=30.0)  # at once, not after 30 s
