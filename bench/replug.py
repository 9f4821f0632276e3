#!/usr/bin/env python3
"""Streaming across unplugs: how soon packets flow again after the device
comes back.

    .venv/bin/python bench/replug.py [--replugs 20] [--away 0.3] [--rate 200]

A simulated device in its own process, streaming; a script reads it with
``vyre_tools.reconnect.batches`` on its stable link, polling every 10 ms.
Every half second or so the device is unplugged for ``--away`` seconds and
comes back on a new pseudo-terminal.  Per replug: the time from the device's
return (the moment its new port exists, on the system's monotonic clock) to
the script holding the first packet after it, and whether the reported gap
matches the device's timestamps.
"""

import argparse
import os
import sys
import tempfile
import time

import harness  # noqa: F401  (puts the repository on sys.path)

from vyre_tools.reconnect import batches
from vyre_tools.sim import Simulator


def percentiles(xs):
    xs = sorted(xs)
    pick = lambda q: xs[min(len(xs) - 1, int(q * len(xs)))]
    return pick(0.5), pick(0.9), xs[-1]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--replugs", type=int, default=20)
    ap.add_argument("--away", type=float, default=0.3, help="seconds unplugged")
    ap.add_argument("--rate", type=float, default=200.0)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="vyre-bench-links-") as links:
        # a directory of its own: other simulators on the machine stay out of sight
        os.environ["VYRE_SIM_LINKS"] = links
        return run(args)


def run(args):
    print(harness.machine())
    resumed, gaps = [], []
    with Simulator.spawn(rate=args.rate) as sim:
        last_ts = None
        unplugged_at = time.monotonic() + 0.5
        pending = False
        for batch in batches(sim.link_path, poll=0.01):
            now = time.monotonic()
            if batch.gap is not None:
                resumed.append(now - sim.status()["replugged_at"])
                expected = round((batch.packets[0].timestamp_seconds - last_ts) * args.rate) - 1
                gaps.append((batch.gap, expected))
                pending = False
                if len(resumed) == args.replugs:
                    break
                unplugged_at = now + 0.5
            last_ts = batch.packets[-1].timestamp_seconds
            if not pending and now >= unplugged_at:
                sim.replug(args.away)
                pending = True
        replugs = sim.status()["replugs"]
    p50, p90, worst = percentiles(resumed)
    print(f"{replugs} replugs, {args.away:g} s away, {args.rate:g} frames/s")
    print(
        f"first packet after the device's return: p50 {p50 * 1000:.0f} ms, "
        f"p90 {p90 * 1000:.0f} ms, max {worst * 1000:.0f} ms"
    )
    right = sum(g.missing == expected for g, expected in gaps)
    print(
        f"gaps reported: {len(gaps)}, missing count as the timestamps say: {right}; "
        f"device time lost p50 {sorted(g.seconds for g, _ in gaps)[len(gaps) // 2]:.3f} s"
    )
    return 0 if worst < 2.0 and right == len(gaps) == replugs else 1


if __name__ == "__main__":
    sys.exit(main())
