"""Device faults seen through the client module: the device vanishing while a
call waits, a client killed while it holds the port, a device that stops
answering, answers that come after their call gave up, a flood of line noise
at the link's rate, and a length field that announces 4 GiB.  The simulated
device runs in a process of its own (the client's waits hold the interpreter
lock); its counters say what it sent."""

import contextlib
import errno
import fcntl
import os
import re
import resource
import signal
import struct
import subprocess
import sys
import time
import tty

import pytest

import vyre_client
from vyre_client import DeviceProtocol
from vyre_tools.mocklog import write_mock_log
from vyre_tools.sim import Simulator

from .cli_support import client_ready  # noqa: F401
from .hostside import DATA, RESPONSE, frame

pytestmark = pytest.mark.usefixtures("client_ready")

HANG_UP = "Serial port disconnected (hang-up)"
# AddressSanitizer holds freed memory in quarantine, so the resident set grows with every allocation
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
RATE = 200
NAME = "FAULTS-SIM"
NEUTRAL = ([0.0] * 3, [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0])
TIOCGEXCL = 0x80045440  # Linux: _IOR('T', 0x40, int)


def wait_for(predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.02)


def collect(client, until, timeout=30.0):
    packets = []
    wait_for(lambda: packets.extend(client.get_data_packets()) or until(packets), timeout)
    return packets


def drain(sim, client, have):
    """Stops telemetry and takes the rest of what the device sent, given that
    ``have`` packets were taken before; returns the device's counters and the rest."""
    sim.set_rate(0)
    sent = sim.wait_status(lambda s: s["pending_output_bytes"] == 0, timeout=30)["telemetry_sent"]
    rest = collect(client, lambda got: have + len(got) >= sent)
    time.sleep(0.2)  # anything beyond the count would be a duplicate
    return sim.status(), rest + client.get_data_packets()


def errors(client):
    """Every queued background error, oldest first."""
    found = []
    while True:
        try:
            client.ensure_ok()
            return found
        except OSError as error:
            found.append(str(error))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


@contextlib.contextmanager
def alarm(after, action):
    """Runs ``action`` from a signal handler ``after`` seconds on; the client runs
    handlers while it waits, so this reaches into a waiting call."""
    previous = signal.signal(signal.SIGALRM, lambda *_: action())
    signal.setitimer(signal.ITIMER_REAL, after)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@pytest.fixture(scope="module")
def sim():
    with Simulator.spawn(rate=RATE, name=NAME, protocol=2) as s:
        yield s


@pytest.fixture
def client(sim, start_client):
    sim.set_silent(False)
    sim.set_answer_delay(0)
    sim.set_noise(0)
    sim.set_rate(RATE)
    sim.reset_counters(discard_output=True)
    return start_client(sim.port_name)


# ------------------------------------------------------------------ hang-up


def wait_in_transaction(client, sim, log):
    sim.set_silent(True)
    with pytest.raises(OSError, match=f"^{re.escape(HANG_UP)}$"):
        client.get_device_info(30.0)  # ends with the link, not after its 30 s
    return []


def wait_in_replay(client, sim, log):
    client.start_mock_log_stream(str(log))
    wait_for(lambda: not client.is_mock_log_streaming())  # the device vanishes under the running stream
    with pytest.raises(OSError, match="^Mock channel closed$"):
        client.stop_mock_log_stream(cancel_device=False)
    return [HANG_UP]  # the stream's end is that failure's symptom, not a second one


def wait_in_calibration(client, sim, log):
    # the collection ends with the link: no fit from the samples before it
    with pytest.raises(OSError, match=f"^{re.escape(HANG_UP)}$"):
        client.run_and_apply_magnetometer_calibration(30.0, 3.0)
    return []


@pytest.mark.parametrize(
    "during",
    [wait_in_transaction, wait_in_replay, wait_in_calibration],
    ids=["transaction", "replay", "calibration"],
)
def test_hang_up_while_a_call_waits(tmp_path, start_client, during):
    log = tmp_path / "long.log"
    write_mock_log(log, 2000, 0.01)
    with Simulator.spawn(rate=RATE) as device:
        client = start_client(device.port_name)
        before = collect(client, lambda got: len(got) >= 20)
        with alarm(0.4, device.hang_up):
            expected = during(client, device, log)
        assert device.status()["hung_up"]
        wait_for(lambda: not client.is_running())
        assert errors(client) == expected
        with pytest.raises(OSError, match="^Command channel closed$"):
            client.get_device_info(0)
        # what arrived before the hang-up is intact and in order
        stamps = [p.timestamp_seconds for p in before + client.get_data_packets()]
        assert stamps == sorted(set(stamps))


# ------------------------------------------------------------- killed client


def port_claimed(port):
    """Whether the port is held exclusive.  Asked of the flag itself: root
    opens a claimed port all the same."""
    try:
        fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as error:
        if error.errno == errno.EBUSY:
            return True
        raise
    try:
        return struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, b"\0" * 4))[0] != 0
    finally:
        os.close(fd)


def test_a_killed_clients_claim_is_released(sim, start_client):
    cleared = sim.status()["claims_cleared"]
    code = (
        "import sys, vyre_client; c = vyre_client.VYREClient(sys.argv[1]); "
        "print('open', flush=True); sys.stdin.read()"
    )
    child = subprocess.Popen(
        [sys.executable, "-c", code, sim.port_name], stdin=subprocess.PIPE, stdout=subprocess.PIPE
    )
    try:
        assert child.stdout.readline() == b"open\n"
        time.sleep(0.5)  # several of the simulator's checks: a live client keeps its claim
        assert port_claimed(sim.port_name)
    finally:
        child.kill()
        child.communicate()
    wait_for(lambda: not port_claimed(sim.port_name), timeout=3.0)
    assert sim.status()["claims_cleared"] == cleared + 1
    client = start_client(sim.port_name)
    assert client.get_device_config(10.0).name == NAME


# ------------------------------------------------------------ silent device


def test_a_device_that_stops_answering(sim, client, tmp_path):
    write_mock_log(tmp_path / "a.log", 10, 0.01)
    sim.set_silent(True)
    calls = [
        (lambda: client.get_device_info(0.3), None),
        (lambda: client.get_device_config(0.3), None),
        (lambda: client.get_calibration(0.3), None),
        (lambda: client.set_device_config(NAME, RATE, DeviceProtocol.UART, 0.3), False),
        (lambda: client.set_imu_calibration(*NEUTRAL, *NEUTRAL, 0.3), False),
        (lambda: client.set_magnetometer_calibration(*NEUTRAL, 0.3), False),
        (lambda: client.cancel(0.3), False),
        # the neutral reset goes unanswered, so the run collects nothing
        (lambda: client.run_and_apply_magnetometer_calibration(0.5, 0.3), None),
    ]
    for call, unanswered in calls:
        assert call() is unanswered
    with pytest.raises(OSError, match="^Timed out waiting for mock acknowledgement$"):
        client.start_mock_log_stream(str(tmp_path / "a.log"), start_timeout_seconds=0.3)
    packets = client.get_data_packets()
    assert sim.wait_status(lambda s: s["commands_ignored"] == len(calls) + 1)

    sim.set_silent(False)
    assert client.get_device_config(10.0).name == NAME
    s, rest = drain(sim, client, len(packets))
    packets += rest
    client.ensure_ok()
    # telemetry never paused while the device ignored its commands
    assert len(packets) == s["telemetry_sent"] > 0 and s["telemetry_dropped"] == 0


# ------------------------------------------------------------- late answers


def test_late_answers_go_to_the_next_call_of_their_kind(sim, client):
    sim.set_answer_delay(0.8)
    assert client.get_device_config(0.1) is None  # answered later with NAME
    assert client.set_device_config("LATE", RATE, DeviceProtocol.UART, 0.1) is False
    assert client.get_device_info(0.1) is None
    assert client.cancel(0.1) is False
    sim.wait_status(lambda s: s["responses_sent"] == 4)
    sim.set_answer_delay(0)

    def quick(call):
        begin = time.monotonic()
        result = call()
        assert time.monotonic() - begin < 15.0  # taken from what is pending, not waited for
        return result

    # each call takes the late answer of its own kind, sent before the rename...
    assert quick(lambda: client.get_device_config(30.0)).name == NAME
    # ...and its own answer, sent after it, waits for the next call of the kind
    assert quick(lambda: client.get_device_config(30.0)).name == "LATE"
    assert quick(lambda: client.set_device_config(NAME, RATE, DeviceProtocol.UART, 30.0)) is True
    assert quick(lambda: client.cancel(30.0)) is True
    info = quick(lambda: client.get_device_info(30.0))
    assert info.id == sim.status()["device_id"]
    # the chain goes on: an answer from before the rename back, then one from after it
    assert [client.get_device_config(10.0).name for _ in range(2)] == ["LATE", NAME]
    client.ensure_ok()


# -------------------------------------------------------------- noise flood


def test_a_noise_flood_at_the_link_rate_costs_little_and_loses_no_frame(sim, client):
    sim.set_rate(300)
    sim.set_noise(1.0, max_len=1300)  # about 650 bytes before each frame: about 200 kB/s
    stamps = [p.timestamp_seconds for p in collect(client, lambda got: len(got) >= 300)]  # warm-up
    start = sim.status()
    cpu, memory, wall = time.process_time(), rss_bytes(), time.monotonic()
    while time.monotonic() - wall < 3.0:
        time.sleep(0.1)
        stamps += [p.timestamp_seconds for p in client.get_data_packets()]
    cpu, grown, wall = time.process_time() - cpu, rss_bytes() - memory, time.monotonic() - wall
    end = sim.status()
    sim.set_noise(0)
    s, rest = drain(sim, client, len(stamps))
    stamps += [p.timestamp_seconds for p in rest]
    client.ensure_ok()
    noise_rate = (end["noise_bytes"] - start["noise_bytes"]) / (end["time"] - start["time"])
    print(
        f"\nnoise flood: {noise_rate / 1e3:.0f} kB/s of noise for {wall:.1f} s; client process "
        f"CPU {100 * cpu / wall:.1f}% of one core, RSS growth {grown / 1024:.0f} KiB; "
        f"{len(stamps)} packets = {s['telemetry_sent']} intact frames sent"
    )
    assert noise_rate > 100e3
    assert cpu < 0.5 * wall
    assert grown < 2 << 20 or UNDER_ASAN
    # every intact frame, during the flood and right after it, came through in order
    assert len(stamps) == s["telemetry_sent"] and s["telemetry_dropped"] == 0
    assert stamps == sorted(set(stamps))


# ----------------------------------------------------- 4 GiB length field


@pytest.mark.parametrize("header", [DATA, RESPONSE], ids=["data", "response"])
def test_a_4_gib_length_field_holds_back_nothing(header):
    master, slave = os.openpty()
    tty.setraw(master)
    client = vyre_client.VYREClient(os.ttyname(slave))
    client.start()
    try:
        stamps = [float(i) for i in range(50)]
        frames = b"".join(
            frame(DATA, 0, struct.pack("<d17f", t, *[0.0] * 13, 1.0, 0.0, 0.0, 0.0)) for t in stamps
        )
        data = memoryview(struct.pack("<HHI", header, 1, 0xFFFFFFFF) + frames + frame(RESPONSE, 255, b"\x01"))
        while data:
            data = data[os.write(master, data) :]
        packets = collect(client, lambda got: len(got) >= len(stamps))
        assert [p.timestamp_seconds for p in packets] == stamps
        assert client.cancel(10.0) is True
        client.ensure_ok()
    finally:
        client.stop()
        os.close(master)
        os.close(slave)
