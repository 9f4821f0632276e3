#!/usr/bin/env python3
"""Cost of link_statistics() while the reader publishes at the link's rate.

    .venv/bin/python bench/link_statistics.py [--seconds 3] [--calls 10000]

A simulated device in its own process sends 2,300 telemetry frames/s with
noise in front of a third of them, so the reader publishes its counts after
every read while the calls take their snapshots. Timed: batches of
``--calls`` back-to-back calls, and beside them get_data_packets() on an
empty queue, the cheapest call there is.
"""

import argparse
import os
import statistics
import sys
import time

import harness

RATE = 2300.0


def per_call_us(fn, calls):
    t0 = time.perf_counter_ns()
    for _ in range(calls):
        fn()
    return (time.perf_counter_ns() - t0) / calls / 1e3


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--calls", type=int, default=10_000)
    args = parser.parse_args()
    if not harness.library_available():
        raise SystemExit("vyre_client has no VYREClient in this environment")
    from vyre_client import VYREClient
    from vyre_tools.sim import Simulator

    print(harness.machine())
    stats, empty = [], []
    with Simulator.spawn(rate=RATE, noise=0.3, noise_max_len=64) as sim:
        client = VYREClient(sim.port_name)
        client.start()
        try:
            end = time.monotonic() + args.seconds
            while time.monotonic() < end:
                client.get_data_packets()
                stats.append(per_call_us(client.link_statistics, args.calls))
                client.get_data_packets()
                empty.append(per_call_us(client.get_data_packets, args.calls))
            received = client.link_statistics()["bytes_received"]
        finally:
            client.stop()
    if not received:
        raise RuntimeError("no bytes arrived from the simulated device")

    def show(label, xs):
        print(f"{label:<48} {min(xs):7.2f} {statistics.median(xs):7.2f}")

    print(f"{len(stats)} batches of {args.calls} calls; {received} bytes received meanwhile")
    print(f"{'µs per call':<48} {'best':>7} {'median':>7}")
    show("link_statistics()", stats)
    show("get_data_packets(), nearly always empty", empty)
    print("goal: link_statistics() <= 10 µs, 0.1 % of a 10 ms polling period")
    print(f"after the run: load average {', '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    sys.exit(main())
