#!/usr/bin/env python3
"""Command round trips on a port whose output queue drains slowly.

    .venv/bin/python bench/drain_latency.py [--calls 300] [--hold-us 5000] [--rounds 3] [--other PYTHON]

USB CDC-ACM ports count data in flight as queued, so after every write their
output queue (TIOCOUTQ) reports bytes for a while.  bench/slow_drain.c, loaded
with LD_PRELOAD into the client's process, makes a pseudo-terminal do the same
for ``--hold-us`` after every write.  Against a simulated device streaming
2,300 frames/s, the round trip of get_device_info() with and without the
shim: a reader that waits for its output to drain before it reads again holds
every answer back by the hold time.  ``--other`` measures another build's
python the same way, in the same run.  Each round measures every pair once;
the medians over the rounds close, with the busy port's p99 less the plain
one's.
"""

import argparse
import json
import statistics
import os
import subprocess
import sys
import tempfile

import harness

RATE = 2300.0


def role(port, calls):
    import time
    from vyre_client import VYREClient

    times = []
    with VYREClient(port) as client:
        for i in range(calls):
            t0 = time.perf_counter()
            if client.get_device_info() is None:
                raise RuntimeError("get_device_info went unanswered")
            times.append(time.perf_counter() - t0)
            if i % 50 == 0:
                client.get_data_packets()
    times.sort()
    harness.emit({"p50": times[len(times) // 2], "p99": times[min(len(times) - 1, int(0.99 * len(times)))]})


def measure(python, port, calls, shim, hold_us):
    env = dict(os.environ)
    if shim:
        env["LD_PRELOAD"] = shim
        env["SLOW_DRAIN_US"] = str(hold_us)
    out = subprocess.run(
        [python, os.path.abspath(__file__), "--role", port, str(calls)],
        capture_output=True,
        text=True,
        env=env,
        timeout=600,
    )
    if out.returncode != 0:
        raise RuntimeError(out.stderr[-2000:])
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=300)
    parser.add_argument("--hold-us", type=int, default=5000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--other", help="another build's python, measured the same way")
    parser.add_argument("--role", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.role:
        return role(args.role[0], int(args.role[1]))

    from vyre_tools.sim import Simulator

    print(harness.machine())
    with tempfile.TemporaryDirectory() as tmp:
        shim = os.path.join(tmp, "slow_drain.so")
        subprocess.run(
            [
                os.environ.get("CC", "cc"),
                "-O2",
                "-shared",
                "-fPIC",
                "-o",
                shim,
                os.path.join(harness.BENCH, "slow_drain.c"),
                "-ldl",
            ],
            check=True,
        )
        builds = [("this", sys.executable)] + ([("other", args.other)] if args.other else [])
        queues = {False: "plain pty", True: f"busy {args.hold_us} us a write"}
        results = {}
        print(f"{'round':<6} {'build':<6} {'output queue':<24} {'p50 ms':>8} {'p99 ms':>8}")
        with Simulator.spawn(rate=RATE) as sim:
            for k in range(args.rounds):
                for label, python in builds:
                    for shimmed in (False, True):
                        r = measure(
                            python, sim.port_name, args.calls, shim if shimmed else None, args.hold_us
                        )
                        results.setdefault((label, shimmed), []).append(r)
                        print(
                            f"{k + 1:<6} {label:<6} {queues[shimmed]:<24} {1000 * r['p50']:8.3f} "
                            f"{1000 * r['p99']:8.3f}",
                            flush=True,
                        )
        print(f"medians of {args.rounds} rounds:")
        for label, _ in builds:
            med = {
                shimmed: {
                    q: statistics.median(r[q] for r in results[(label, shimmed)]) for q in ("p50", "p99")
                }
                for shimmed in (False, True)
            }
            for shimmed in (False, True):
                print(
                    f"{'':<6} {label:<6} {queues[shimmed]:<24} {1000 * med[shimmed]['p50']:8.3f} "
                    f"{1000 * med[shimmed]['p99']:8.3f}"
                )
            print(
                f"{'':<6} {label:<6} {'busy - plain':<24} {1000 * (med[True]['p50'] - med[False]['p50']):8.3f} "
                f"{1000 * (med[True]['p99'] - med[False]['p99']):8.3f}"
            )


if __name__ == "__main__":
    sys.exit(main())
