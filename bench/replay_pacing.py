#!/usr/bin/env python3
"""How closely a paced replay follows its log's clock.

    .venv/bin/python bench/replay_pacing.py [--rounds 3] [--batches 100]

``start_mock_log_stream(speed=2)`` of a log whose records lie 1 ms apart, to
the simulated device on a pseudo-terminal (idle otherwise): the first 75
records go out at once, then batches of ten every 10 ms of the log, 5 ms at
speed 2. The simulator stamps each record's arrival. Per round: the interval
between batches (mean, median, p90) against the ideal, the span of all
batches, how far apart the records of one batch arrived, and how long the
first 75 took. Goals: mean interval within 1.2x of the ideal (a stream paced
by the unscaled log clock gives 2x, an unpaced one next to nothing), and a
batch's records within a fifth of the period of one another (median).

The tests check only that a replay is paced at all (client_runtime's
mock_stream_test, vyre_tools' test_end_to_end): a loaded machine stretches
every interval, so how close they come to the ideal is measured here.
"""

import argparse
import statistics
import tempfile
import time
from pathlib import Path

import harness
from vyre_client import VYREClient
from vyre_tools.mocklog import MockLog
from vyre_tools.sim import Simulator

UNPACED, BATCH, INTERVAL, SPEED = 75, 10, 0.001, 2.0


def one_round(path, batches):
    records = UNPACED + BATCH * batches
    log = MockLog()
    log.add_series(records, INTERVAL, kinds="IBAM")
    log.end()
    log.write(path)
    with Simulator.spawn(rate=0) as sim:  # a fresh device: its records are this round's
        with VYREClient(sim.port_name) as client:
            client.start_mock_log_stream(str(path), speed=SPEED)
            while client.is_mock_log_streaming():
                time.sleep(0.05)
            if client.stop_mock_log_stream(cancel_device=False) != records:
                raise RuntimeError("the replay did not send every record")
        sim.wait_status(lambda s: s["mock_records"] == records, timeout=30)
        arrival = [r[2] for r in sim.mock_records()]
    starts = [arrival[UNPACED + BATCH * k] for k in range(batches)]
    gaps = sorted(b - a for a, b in zip(starts, starts[1:]))
    spreads = [arrival[UNPACED + BATCH * k + BATCH - 1] - starts[k] for k in range(batches)]
    return {
        "mean": (starts[-1] - starts[0]) / (batches - 1),
        "median": statistics.median(gaps),
        "p90": gaps[len(gaps) * 9 // 10],
        "spread": statistics.median(spreads),
        "burst": arrival[UNPACED - 1] - arrival[0],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--batches", type=int, default=100)
    args = parser.parse_args()
    period = BATCH * INTERVAL / SPEED
    print(harness.machine())
    print(
        f"{args.rounds} rounds of {UNPACED} + {BATCH} x {args.batches} records, "
        f"ideal batch period {period * 1e3:.1f} ms"
    )
    ratios, spreads = [], []
    with tempfile.TemporaryDirectory() as tmp:
        for n in range(args.rounds):
            r = one_round(Path(tmp) / "pacing.log", args.batches)
            ratios.append(r["mean"] / period)
            spreads.append(r["spread"] / period)
            print(
                f"round {n + 1}: interval mean {r['mean'] * 1e3:.2f} ms ({ratios[-1]:.3f}x), "
                f"median {r['median'] * 1e3:.2f}, p90 {r['p90'] * 1e3:.2f}; "
                f"batch spread median {r['spread'] * 1e3:.2f} ms; "
                f"first {UNPACED} records in {r['burst'] * 1e3:.1f} ms "
                f"(logged {(UNPACED - 1) * INTERVAL / SPEED * 1e3:.0f} ms)"
            )
    worst, spread = max(ratios), statistics.median(spreads)
    print(
        f"goal: mean interval <= 1.2x the ideal: {'met' if worst <= 1.2 else 'missed'} "
        f"(worst round {worst:.3f}x); batch spread <= 0.2 of the period: "
        f"{'met' if spread <= 0.2 else 'missed'} ({spread:.3f})"
    )


if __name__ == "__main__":
    main()
