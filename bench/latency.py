#!/usr/bin/env python3
"""Command round trip, stop() and with-exit times.

    .venv/bin/python bench/latency.py [--calls 500] [--stops 30]

Against a simulated device in its own process, first streaming 2,300
telemetry frames/s, then sending none: the round trip of get_device_info()
(library) beside the peer's (bench/peer.py: write the command, poll and read
until its response), then the time of stop() on a running client and of
leaving a ``with VYREClient(...)`` block.
"""

import argparse
import os
import statistics
import sys
import time

import harness

RATE = 2300.0


def percentiles(xs):
    xs = sorted(xs)
    pick = lambda q: xs[min(len(xs) - 1, int(q * len(xs)))]
    return pick(0.5), pick(0.99), xs[-1]


def round_trips_library(client, calls):
    times = []
    for i in range(calls):
        t0 = time.perf_counter()
        info = client.get_device_info()
        times.append(time.perf_counter() - t0)
        if info is None:
            raise RuntimeError("get_device_info went unanswered")
        if i % 50 == 0:
            client.get_data_packets()
    return times


def round_trips_peer(port, calls):
    from peer import PeerClient

    times = []
    with PeerClient(port, exact=False) as client:
        for _ in range(calls):
            t0 = time.perf_counter()
            answer = client.command(1)
            times.append(time.perf_counter() - t0)
            if answer is None:
                raise RuntimeError("the peer's device info went unanswered")
    return times


def stop_times(port, stops):
    from vyre_client import VYREClient

    stop, leave = [], []
    client = VYREClient(port)
    for _ in range(stops):
        client.start()
        time.sleep(0.05)
        t0 = time.perf_counter()
        client.stop()
        stop.append(time.perf_counter() - t0)
    del client
    for _ in range(stops):
        with VYREClient(port) as c:
            time.sleep(0.05)
            t0 = time.perf_counter()
        leave.append(time.perf_counter() - t0)
        del c
    return stop, leave


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=500)
    parser.add_argument("--stops", type=int, default=30)
    args = parser.parse_args()
    if not harness.library_available():
        raise SystemExit("vyre_client has no VYREClient in this environment")
    from vyre_client import VYREClient
    from vyre_tools.sim import Simulator

    print(harness.machine())
    rows = []
    with Simulator.spawn(rate=RATE, new_session=True) as sim:
        for mode, rate in (("streaming", RATE), ("silent", 0.0)):
            sim.set_rate(rate)
            client = VYREClient(sim.port_name)
            client.start()
            round_trips_library(client, 20)  # warm-up
            lib = round_trips_library(client, args.calls)
            client.stop()
            del client
            peer = round_trips_peer(sim.port_name, args.calls)
            stop, leave = stop_times(sim.port_name, args.stops)
            rows.append((mode, lib, peer, stop, leave))

    print(f"{'ms':<44} {'p50':>7} {'p99':>7} {'max':>7}")
    for mode, lib, peer, stop, leave in rows:
        for label, xs in (
            (f"get_device_info round trip, {mode}", lib),
            (f"peer round trip, {mode}", peer),
            (f"stop(), {mode}", stop),
            (f"leaving a with block, {mode}", leave),
        ):
            p50, p99, top = percentiles(xs)
            print(f"{label:<44} {p50 * 1e3:7.3f} {p99 * 1e3:7.3f} {top * 1e3:7.3f}")
        print(
            f"{mode}: library / peer round trip (p50) = "
            f"{statistics.median(lib) / statistics.median(peer):.2f}"
        )
    print("goals: round trip p99 <= 2 ms silent; stop() and with-exit <= 5 ms")
    print(f"after the run: load average {', '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    sys.exit(main())
