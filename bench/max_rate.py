#!/usr/bin/env python3
"""Highest telemetry rate delivered to Python as objects, with none lost.

    .venv/bin/python bench/max_rate.py [--frames 3000000] [--sim-seconds 5]
        [--other PYTHON] [--rounds N]

Two sources, each tried with every client in turn (one at a time, so that
each has the machine's two cores to itself):

- producer: bench/producer.c writes pre-built frames into a pseudo-terminal
  as fast as the reader takes them (exactly ``--frames`` of them);
- simulator: python -m vyre_tools.sim in unthrottled mode for
  ``--sim-seconds``; its telemetry_sent counter says how many frames the
  client must get.

Clients: the library (VYREClient; its script collects get_data_packets()
every 10 ms), the peer of bench/peer.py in both precisions, and with the
producer the floor (bench/floor.c, which only reads), whose rate is what the
pseudo-terminal itself carries.  A rate counts from a client's first packet
to its last, and only when the client got every frame.

``--other`` (repeatable) runs another build's library beside this one (the
python of its own environment, as ``bench/attacks.py --other``), so that a regression shows
as a ratio between builds on the same machine in the same run; ``--rounds``
repeats every measurement and reports medians.  ``--sim-seconds 0`` leaves
the simulator out.
"""

import argparse
import os
import select
import statistics
import sys
import time

import harness

IDLE_LIMIT = 5.0  # seconds without a packet after which a client gives up
PERIOD = 0.010


class Expected:
    """How many frames are coming: given at start, or told later on stdin."""

    def __init__(self, frames):
        self.frames = frames

    def known(self):
        if self.frames == 0 and select.select([sys.stdin], [], [], 0)[0]:
            self.frames = int(sys.stdin.readline())
        return self.frames

    def done(self, count):
        return self.known() and count >= self.frames


def _report(count, first, last, expected):
    import resource

    usage = resource.getrusage(resource.RUSAGE_SELF)
    harness.emit(
        {
            "frames": count,
            "expected": expected.known(),
            "seconds": (last - first) if first is not None else 0.0,
            "cpu_seconds": usage.ru_utime + usage.ru_stime,
            "involuntary_switches": usage.ru_nivcsw,
        }
    )


def _count(fetch, expected):
    """Calls fetch() until every frame came or the link went idle; (count, first, last)."""
    count = 0
    first = last = None
    idle_since = time.monotonic()
    while not expected.done(count):
        packets = fetch()
        now = time.monotonic()
        if packets:
            count += len(packets)
            last = idle_since = now
            if first is None:
                first = now
        elif now - idle_since > (IDLE_LIMIT if first is not None else 60.0):
            break
    return count, first, last


def role_library(port, frames):
    from vyre_client import VYREClient

    expected = Expected(frames)
    client = VYREClient(port)
    client.start()
    print("ready", flush=True)
    tick = time.monotonic()

    def fetch():
        nonlocal tick
        tick += PERIOD
        harness.sleep_until(tick)
        return client.get_data_packets()

    count, first, last = _count(fetch, expected)
    client.stop()
    _report(count, first, last, expected)


def role_peer(port, frames, exact):
    from peer import PeerClient

    expected = Expected(frames)
    with PeerClient(port, exact=exact) as client:
        print("ready", flush=True)
        count, first, last = _count(lambda: client.read_packets(100), expected)
    _report(count, first, last, expected)


def run_producer(build, make_argv, frames):
    producer = harness.Producer(build, frames)
    try:
        proc = harness.spawn_child(make_argv(producer.port_name, frames))
        if proc.stdout.readline().strip() != "ready":
            raise RuntimeError(f"client did not start: {proc.communicate()[1][-2000:]}")
        began = time.monotonic()
        producer.go()
        result = harness.collect(proc, 600)
        result["wall_seconds"] = time.monotonic() - began
        result["producer_seconds"] = producer.result()["seconds"]
        return result
    finally:
        producer.close()


def run_floor(build, frames):
    producer = harness.Producer(build, frames)
    try:
        proc = harness.spawn_child(
            [build.path("floor"), producer.port_name, "--bytes", str(frames * harness.FRAME_SIZE)]
        )
        time.sleep(0.3)  # the floor has no ready line; give it time to open the port
        producer.go()
        result = harness.collect(proc, 600)
        result["frames"] = result["bytes"] // harness.FRAME_SIZE
        result["expected"] = frames
        return result
    finally:
        producer.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=3_000_000)
    parser.add_argument("--sim-seconds", type=float, default=5.0)
    parser.add_argument(
        "--other",
        action="append",
        default=[],
        help="another build's python, whose library runs beside this one's (repeatable)",
    )
    parser.add_argument("--rounds", type=int, default=1, help="rounds; medians are reported")
    parser.add_argument("--role", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.role:
        name, *rest = args.role
        if name == "library":
            return role_library(rest[0], int(rest[1]))
        if name == "peer":
            return role_peer(rest[1], int(rest[2]), rest[0] == "exact")
        raise SystemExit(f"unknown role {name}")
    return harness_main(args)


def harness_main(args):
    clients = {}
    if harness.library_available():
        clients["library"] = lambda port, n: harness.python_role("max_rate.py", "library", port, n)
    else:
        print("vyre_client has no VYREClient in this environment: library left out")
    script = os.path.join(harness.BENCH, "max_rate.py")
    others = {
        ("other" if len(args.other) == 1 else f"other{i}"): python for i, python in enumerate(args.other, 1)
    }
    for name, python in others.items():
        clients[name] = lambda port, n, python=python: [python, script, "--role", "library", port, str(n)]
    clients["peer-f64"] = lambda port, n: harness.python_role("max_rate.py", "peer", "f64", port, n)
    clients["peer"] = lambda port, n: harness.python_role("max_rate.py", "peer", "exact", port, n)
    sources = ["producer"] + (["simulator"] if args.sim_seconds > 0 else [])

    print(harness.machine())
    for name, python in others.items():
        print(f"{name}: {python}")
    rates = {}  # (client, source) -> rate of every round
    print(
        f"{'round':>5} {'source':<10} {'client':<10} {'frames':>9} {'lost':>6} {'frames/s':>10}"
        f" {'CPU %':>6} {'invol. sw.':>10}"
    )
    with harness.CBuild() as build:
        for round_ in range(1, args.rounds + 1):
            results = {("floor", "producer"): run_floor(build, args.frames)}
            for name, argv in clients.items():
                results[name, "producer"] = run_producer(build, argv, args.frames)
            if "simulator" in sources:
                for name, argv in clients.items():
                    results[name, "simulator"] = run_simulator(argv, args.sim_seconds)
            for (name, source), r in results.items():
                lost = r["expected"] - r["frames"]
                rate = r["frames"] / r["seconds"] if r["seconds"] > 0 and not lost else 0.0
                rates.setdefault((name, source), []).append(rate)
                cpu = (
                    f"{100 * r['cpu_seconds'] / r['wall_seconds']:6.0f} {r['involuntary_switches']:10d}"
                    if "cpu_seconds" in r and r.get("wall_seconds")
                    else ""
                )
                print(
                    f"{round_:5d} {source:<10} {name:<10} {r['frames']:9d} {lost:6d} {rate:10.0f} {cpu}",
                    flush=True,
                )
    print(f"after the run: load average {', '.join(f'{x:.2f}' for x in os.getloadavg())}")

    median = {key: statistics.median(values) for key, values in rates.items()}
    for source in sources:
        print(
            f"{source} (medians of {args.rounds}): "
            + ", ".join(f"{name} {median[name, source]:,.0f}" for name, s in median if s == source)
        )
        for name in ("library", *others):
            if (name, source) not in median:
                continue
            ratios = [
                f"{name} / {base} = {median[name, source] / median[base, source]:.2f}"
                for base in ("floor", "peer-f64", "peer", "library")
                if base != name and median.get((base, source))
            ]
            print(f"  {', '.join(ratios)}")


def run_simulator(make_argv, seconds):
    from vyre_tools.sim import Simulator

    with Simulator.spawn(rate=0, new_session=True) as sim:
        proc = harness.spawn_child(make_argv(sim.port_name, 0), stdin=True)
        try:
            if proc.stdout.readline().strip() != "ready":
                raise RuntimeError(f"client did not start: {proc.communicate()[1][-2000:]}")
            sim.set_unthrottled(True)
            sim.set_rate(1000)
            time.sleep(seconds)
            sim.set_rate(0)
            time.sleep(0.5)  # the last batches leave the device's queue
            sent = sim.status()["telemetry_sent"]
            proc.stdin.write(f"{sent}\n")
            proc.stdin.flush()
            return harness.collect(proc, 600)
        except BaseException:
            proc.kill()
            proc.wait()
            raise


if __name__ == "__main__":
    sys.exit(main())
