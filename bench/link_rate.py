#!/usr/bin/env python3
"""CPU cost of following the telemetry stream at the link's rate.

    .venv/bin/python bench/link_rate.py [--seconds 20] [--rate 2300] [--rounds 3]
                                        [--source simulator|producer|both]

Five client processes run at the same time, each but the last against a
device of its own streaming ``--rate`` frames/s: first the simulated device
(python -m vyre_tools.sim, which at this rate sends what is due about every
1.5 ms), then bench/producer.c writing every frame on its own, so that every
frame wakes the reader as on a UART:

- library: VYREClient, its reader thread, and a script calling
  get_data_packets every 10 ms;
- peer and peer-f64: the pure-Python client of bench/peer.py (poll, os.read,
  frame, derive, one dataclass per frame), deriving in exact single
  precision and in double;
- floor: bench/floor.c, which only polls and reads the port;
- script: the same 10 ms loop as the library's script with no client, to
  show what the interpreter alone costs.

Each measures the CPU time (user + system, all threads) of its own process
over the same window after a warm-up.  Every client's CPU share is divided by
the floor's of the same round, and the medians of these ratios over
``--rounds`` rounds are printed at the end.
"""

import argparse
import os
import statistics
import sys
import time

import harness

PERIOD = 0.010


def role_library(port, seconds, warmup):
    from vyre_client import VYREClient

    client = VYREClient(port)
    client.start()
    count = 0
    t = time.monotonic()
    measure_at = t + warmup
    end = measure_at + seconds
    c0 = t0 = None
    while True:
        t += PERIOD
        harness.sleep_until(t)
        packets = client.get_data_packets()
        now = time.monotonic()
        if c0 is None and now >= measure_at:
            c0, t0 = harness.cpu_seconds(), now
            continue
        if c0 is not None:
            count += len(packets)
            if now >= end:
                break
    c1, t1 = harness.cpu_seconds(), time.monotonic()
    client.stop()
    harness.emit({"cpu_s": c1 - c0, "wall_s": t1 - t0, "frames": count})


def role_script(seconds, warmup):
    t = time.monotonic()
    end = t + warmup + seconds
    c0 = t0 = None
    while True:
        t += PERIOD
        harness.sleep_until(t)
        now = time.monotonic()
        if c0 is None and now >= end - seconds:
            c0, t0 = harness.cpu_seconds(), now
        if now >= end:
            break
    harness.emit({"cpu_s": harness.cpu_seconds() - c0, "wall_s": time.monotonic() - t0, "frames": 0})


def role_peer(port, seconds, warmup, exact):
    from peer import PeerClient

    with PeerClient(port, exact=exact) as client:
        count = 0
        start = time.monotonic()
        while time.monotonic() < start + warmup:
            client.read_packets(100)
        c0, t0 = harness.cpu_seconds(), time.monotonic()
        end = t0 + seconds
        while time.monotonic() < end:
            count += len(client.read_packets(100))
        c1, t1 = harness.cpu_seconds(), time.monotonic()
    harness.emit({"cpu_s": c1 - c0, "wall_s": t1 - t0, "frames": count})


ROWS = (
    ("library (reader thread + 10 ms script)", "library"),
    ("peer, single-precision exact", "peer"),
    ("peer, double-precision derivation", "peer-f64"),
    ("floor (C: poll + read)", "floor"),
    ("script alone (10 ms sleep loop)", "script"),
)


class Source:
    """A device for one client: the simulator, or producer.c writing every
    frame on its own at the same rate."""

    def __init__(self, kind, build, rate, seconds):
        self.kind = kind
        if kind == "simulator":
            from vyre_tools.sim import Simulator

            self.device = Simulator.spawn(rate=rate, new_session=True)
        else:
            self.device = harness.Producer(build, int(rate * (seconds + 30)), rate)
        self.port_name = self.device.port_name

    def start(self):
        if self.kind == "producer":
            self.device.go()

    def close(self):
        self.device.close()


def run_round(kind, build, names, args):
    s, w = args.seconds, args.warmup
    sources, procs = {}, {}
    try:
        for name in names:
            sources[name] = Source(kind, build, args.rate, s + w)
        for source in sources.values():
            source.start()
        for name, source in sources.items():
            port = source.port_name
            if name == "floor":
                argv = [build.path("floor"), port, str(s), str(w)]
            elif name == "library":
                argv = harness.python_role("link_rate.py", "library", port, s, w)
            else:
                argv = harness.python_role(
                    "link_rate.py", "peer", port, s, w, "exact" if name == "peer" else "f64"
                )
            procs[name] = harness.spawn_child(argv)
        procs["script"] = harness.spawn_child(harness.python_role("link_rate.py", "script", s, w))
        return {name: harness.collect(p, s + w + 60) for name, p in procs.items()}
    finally:
        for p in procs.values():
            if p.poll() is None:
                p.kill()
                p.wait()
        for source in sources.values():
            source.close()


def shares(results):
    return {name: 100.0 * r["cpu_s"] / r["wall_s"] for name, r in results.items()}


def report(kind, results):
    floor = results["floor"]
    floor["frames"] = floor["bytes"] // harness.FRAME_SIZE
    share = shares(results)
    print(f"  the floor woke {floor['reads'] / floor['wall_s']:.0f} times/s")
    print(f"  {'client':<42} {'frames/s':>9} {'CPU % of a core':>16} {'x floor':>8}")
    for label, name in ROWS:
        if name in results:
            r = results[name]
            print(
                f"  {label:<42} {r['frames'] / r['wall_s']:9.0f} {share[name]:16.2f} "
                f"{share[name] / share['floor']:8.2f}"
            )


def summary(kind, rounds):
    """Medians over the rounds of each client's ratio to the floor of its round."""
    names = [name for _, name in ROWS if name in rounds[0] and name != "floor"]
    ratios = {name: statistics.median(shares(r)[name] / shares(r)["floor"] for r in rounds) for name in names}
    floor = statistics.median(shares(r)["floor"] for r in rounds)
    print(
        f"{kind}, median of {len(rounds)} rounds: floor {floor:.2f} % of a core; "
        + ", ".join(f"{name} {ratios[name]:.2f}x" for name in names)
    )
    if "library" in ratios:
        print(
            f"  library / floor = {ratios['library']:.2f} (goal <= 1.0); "
            f"peer / library = {ratios['peer'] / ratios['library']:.2f}, "
            f"peer-f64 / library = {ratios['peer-f64'] / ratios['library']:.2f}"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--warmup", type=float, default=2.0)
    parser.add_argument("--rate", type=float, default=2300.0)
    parser.add_argument("--source", choices=("simulator", "producer", "both"), default="both")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--role", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.role:
        name, *rest = args.role
        if name == "library":
            return role_library(rest[0], float(rest[1]), float(rest[2]))
        if name == "peer":
            return role_peer(rest[0], float(rest[1]), float(rest[2]), rest[3] == "exact")
        if name == "script":
            return role_script(float(rest[0]), float(rest[1]))
        raise SystemExit(f"unknown role {name}")

    names = ["library", "peer", "peer-f64", "floor"]
    if not harness.library_available():
        print("vyre_client has no VYREClient in this environment: library left out")
        names.remove("library")
    kinds = ("simulator", "producer") if args.source == "both" else (args.source,)
    print(harness.machine())
    print(
        f"{args.rate:g} frames/s for {args.seconds:g} s (after {args.warmup:g} s warm-up); "
        "every client against a device of its own, all at the same time"
    )
    with harness.CBuild() as build:
        for kind in kinds:
            rounds = []
            for i in range(args.rounds):
                print(f"source: {kind}, round {i + 1}")
                rounds.append(run_round(kind, build, names, args))
                report(kind, rounds[-1])
                print(f"  load average now {', '.join(f'{x:.2f}' for x in os.getloadavg())}")
            summary(kind, rounds)


if __name__ == "__main__":
    sys.exit(main())
