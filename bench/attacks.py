"""Hostile links and long jobs: what they cost the client, side by side for two
builds of the module.

    .venv/bin/python bench/attacks.py [--other PYTHON] [--only NAME ...]

Each scenario runs in a child process of its own (with a time-out, so a
build that hangs reports "hung" instead of stopping the run), once with this
interpreter and once with ``--other`` (another environment's python, e.g.
one with an older build installed). Scenarios:

- replay: a 200,000-record log replayed as fast as possible into the
  simulated device while it streams telemetry at its default rate: a
  question asked during the replay, telemetry lost, the replay's time, and
  stop() at a moment of a second replay.
- hang-up: the device vanishes 0.2 s into a 5 s wait; how long after the
  hang-up the wait ends, and with what.
- false-header: the reader's CPU when the line carries clean telemetry, or a
  false header every 8 bytes, at the same byte rate; and how long an answer
  behind one false header waits on a quiet line.
- flood: 30 s of unsolicited acknowledgements: memory, and the cost of a
  transaction before and after.
- stop-dev-zero, stop-zero-tail: how long stop() takes while a replay reads
  /dev/zero, or a log with a 3 GiB zero tail after its end marker.
- reentrant: a signal handler that calls a mock handle's wait during another
  wait of the same handle.
"""

import argparse
import json
import os
import pty
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import tty

from harness import ROOT, cpu_seconds, emit, machine

from vyre_tools.protocol import build_frame

DATA, RESPONSE = 0xA55A, 0x5AA5


def rss_mib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


class Pty:
    """The device end of a pseudo-terminal; the client opens `path`."""

    def __init__(self):
        self.master, self._slave = pty.openpty()
        tty.setraw(self.master)
        self.path = os.ttyname(self._slave)

    def write(self, data):
        view = memoryview(data)
        while view:
            view = view[os.write(self.master, view) :]

    def writer(self, pattern, byte_rate, seconds):
        """A child process writing `pattern` over and over at `byte_rate`."""
        code = (
            "import os, sys, time\n"
            "fd, rate, seconds, pattern = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), "
            "bytes.fromhex(sys.argv[4])\n"
            "chunk = pattern * max(1, int(rate / 100 / len(pattern)))\n"
            "start = time.monotonic(); sent = 0\n"
            "while time.monotonic() - start < seconds:\n"
            "    due = start + sent / rate\n"
            "    if due > time.monotonic(): time.sleep(due - time.monotonic())\n"
            "    try: sent += os.write(fd, chunk)\n"
            "    except BlockingIOError: time.sleep(0.001)\n"
        )
        return subprocess.Popen(
            [sys.executable, "-c", code, str(self.master), str(byte_rate), str(seconds), pattern.hex()],
            pass_fds=(self.master,),
        )

    def unplug(self, *_):
        if self.master >= 0:
            os.close(self.master)
            self.master = -1


def answer(ident, payload):
    return build_frame(RESPONSE, ident, payload)


INFO = answer(1, (42).to_bytes(8, "little") + b"1.0".ljust(8, b"\0"))


# ---- scenarios, each in a child process


def replay(vyre_client):
    from vyre_tools.mocklog import write_mock_log
    from vyre_tools.sim import Simulator

    records = 200_000
    out = {}
    with tempfile.TemporaryDirectory() as tmp, Simulator.spawn() as sim:
        path = os.path.join(tmp, "huge.log")
        write_mock_log(path, records, 0.001)
        sim.reset_counters(discard_output=True)  # before the client: it takes every frame counted
        client = vyre_client.VYREClient(sim.port_name)
        client.start()
        packets = []
        began = time.monotonic()
        client.start_mock_log_stream(path, realtime=False)
        time.sleep(0.3)
        asked = time.monotonic()
        info = client.get_device_info(1.0)
        out["question_during_replay_s"] = round(time.monotonic() - asked, 4)
        out["question_answered"] = info is not None
        while sim.status()["mock_records"] < records and time.monotonic() - began < 200:
            packets += client.get_data_packets()
            time.sleep(0.01)
        out["replay_s"] = round(time.monotonic() - began, 2)
        client.stop_mock_log_stream(cancel_device=True)
        sim.set_rate(0)
        sim.wait_status(lambda s: s["pending_output_bytes"] == 0, timeout=30)
        time.sleep(0.3)
        packets += client.get_data_packets()
        s = sim.status()
        stamps = [p.timestamp_seconds for p in packets]
        holes = sum(round((b - a) * 200) - 1 for a, b in zip(stamps, stamps[1:]))
        out.update(
            telemetry_sent=s["telemetry_sent"],
            telemetry_dropped=s["telemetry_dropped"],
            telemetry_received=len(packets),
            telemetry_holes=holes,
            records_received=s["mock_records"],
        )

        stops = []
        sim.set_rate(200)
        for pause in (0.15, 0.5, 1.0):
            client.start()
            client.start_mock_log_stream(path, realtime=False)
            time.sleep(pause)
            t = time.monotonic()
            client.stop()
            stops.append(round((time.monotonic() - t) * 1e3, 1))
        out["stop_ms"] = stops
        client.start()
        client.cancel(2.0)
        client.stop()
    return out


def hang_up(vyre_client):
    out = {}
    for name, call in (
        ("transaction", lambda c: c.get_device_info(5.0)),
        ("packet_wait", lambda c: c.get_data_packets(block=True)),
    ):
        device = Pty()
        client = vyre_client.VYREClient(device.path, timeout=5.0)
        client.start()
        gone = []

        def unplug(*_):
            gone.append(time.monotonic())
            device.unplug()

        signal.signal(signal.SIGALRM, unplug)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            result = repr(call(client))
        except OSError as error:
            result = f"OSError: {error}"
        ended = time.monotonic()
        signal.setitimer(signal.ITIMER_REAL, 0)
        out[name] = {"after_hang_up_ms": round((ended - gone[0]) * 1e3, 1), "result": result}
        try:
            client.ensure_ok()
            out[name]["next_call"] = "nothing raised"
        except OSError as error:
            out[name]["next_call"] = f"OSError: {error}"
        client.stop()
        del client
    return out


def false_header(vyre_client):
    byte_rate, seconds = 198_000, 5.0  # 2,300 telemetry frames/s
    telemetry = b"".join(build_frame(DATA, 0, bytes(72) + b"\0\0\x80\x3f") for _ in range(64))
    patterns = {
        "clean": telemetry,
        "header_4096_every_8": bytes.fromhex("5aa5000000100000"),
        "header_256_every_8": bytes.fromhex("5aa5000000010000"),
    }
    out = {}
    for name, pattern in patterns.items():
        device = Pty()
        client = vyre_client.VYREClient(device.path)
        client.start()
        writer = device.writer(pattern, byte_rate, seconds)
        time.sleep(0.5)
        before, t0 = cpu_seconds(), time.monotonic()
        while writer.poll() is None:
            client.get_data_packets()
            time.sleep(0.01)
        used, span = cpu_seconds() - before, time.monotonic() - t0
        out[name] = {"cpu_share": round(used / span, 4)}
        client.stop()
        del client
        device.unplug()
    out["ratio_4096_to_clean"] = round(out["header_4096_every_8"]["cpu_share"] / out["clean"]["cpu_share"], 2)
    out["ratio_256_to_clean"] = round(out["header_256_every_8"]["cpu_share"] / out["clean"]["cpu_share"], 2)

    for length in (76, 1000, 4096):
        device = Pty()
        client = vyre_client.VYREClient(device.path)
        client.start()
        device.write(bytes.fromhex("5aa50000") + length.to_bytes(4, "little") + INFO)
        t = time.monotonic()
        info = client.get_device_info(1.0)
        out[f"answer_behind_header_{length}"] = (
            f"{(time.monotonic() - t) * 1e3:.0f} ms" if info else "None after 1 s"
        )
        client.stop()
        del client
        device.unplug()
    return out


def flood(vyre_client):
    device = Pty()
    client = vyre_client.VYREClient(device.path)
    client.start()

    def transaction_us(count=300):
        device.write(INFO * count)
        time.sleep(0.3)
        times = []
        for _ in range(count):
            t = time.perf_counter()
            client.get_device_info(1.0)
            times.append(time.perf_counter() - t)
        return round(statistics.median(times) * 1e6, 1)

    out = {"transaction_before_us": transaction_us()}
    rss_before = rss_mib()
    writer = device.writer(answer(255, b"\x01"), 400_000, 30.0)
    writer.wait()
    time.sleep(0.5)
    out["rss_growth_mib"] = round(rss_mib() - rss_before, 1)
    out["transaction_after_us"] = transaction_us()
    out["rss_growth_after_transactions_mib"] = round(rss_mib() - rss_before, 1)
    client.stop()
    return out


def stop_during_replay(vyre_client, log_path):
    """How long stop() takes 0.3 s into a replay of `log_path`, in ms."""
    client, handle = vyre_client.VYREClient.new_mock()
    handle.inject_response(5, b"\x01")
    client.start_mock_log_stream(log_path, realtime=False)
    time.sleep(0.3)
    t = time.monotonic()
    client.stop()
    return round((time.monotonic() - t) * 1e3, 1)


def stop_dev_zero(vyre_client):
    return {"stop_ms": stop_during_replay(vyre_client, "/dev/zero")}


def stop_zero_tail(vyre_client):
    from vyre_tools.mocklog import MockLog

    with tempfile.TemporaryDirectory() as tmp:
        sparse = os.path.join(tmp, "tail.log")
        MockLog().add_series(1, 0.001).end().write(sparse)
        os.truncate(sparse, 3 << 30)  # 3 GiB of zeros after the end marker, not on the disk
        return {"stop_ms": stop_during_replay(vyre_client, sparse)}


def reentrant_handle(vyre_client):
    client, handle = vyre_client.VYREClient.new_mock()

    def handler(*_):
        handle.wait_for_command_identifier(0.1)

    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.1)
    try:
        handle.wait_for_command_identifier(1.0)
        return {"reentrant_handle_wait": "returned"}
    except RuntimeError as error:
        return {"reentrant_handle_wait": f"RuntimeError: {error}"}


CHILDREN = {
    "replay": (replay, 400),
    "hang-up": (hang_up, 60),
    "false-header": (false_header, 120),
    "flood": (flood, 120),
    "stop-dev-zero": (stop_dev_zero, 60),
    "stop-zero-tail": (stop_zero_tail, 120),
    "reentrant": (reentrant_handle, 20),
}


def run(python, name):
    timeout = CHILDREN[name][1]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(ROOT, "bench"), ROOT]))
    try:
        proc = subprocess.run(
            [python, __file__, "--child", name],
            capture_output=True,
            text=True,
            timeout=timeout,
            env=env,
            cwd=ROOT,
        )
    except subprocess.TimeoutExpired:
        return {"hung": f"no end within {timeout} s"}
    lines = [line for line in proc.stdout.splitlines() if line.startswith("{")]
    if proc.returncode != 0 or not lines:
        return {"failed": (proc.stderr.strip().splitlines() or ["?"])[-1]}
    return json.loads(lines[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--other", help="another environment's python to compare with")
    parser.add_argument("--only", nargs="*", choices=sorted(CHILDREN), help="scenarios to run")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        import vyre_client

        emit(CHILDREN[args.child][0](vyre_client))
        return
    print(machine())
    for name in args.only or list(CHILDREN):
        for label, python in (("this", sys.executable), ("other", args.other)):
            if python:
                print(f"{name:13} {label:5} {json.dumps(run(python, name))}", flush=True)


if __name__ == "__main__":
    main()
