#!/usr/bin/env python3
"""Synced sample times against the true ones.

    .venv/bin/python bench/clock_sync.py [--build-dir build/cmake] [--seconds 20]
                                         [--rounds 3] [--minutes 10]

The device clock drifts +/-200 ppm, frames leave in bursts of 1 to 10 and 5 %
of them 1 to 10 ms late (the frames behind them waiting too), at 100 and
2,300 frames/s. The error of a stamp is synced - true; its jitter the 99th
percentile of |error - median error|, its bias the median error, to be within
the link's minimum delay + 20 us. The raw receive time's figures stand beside.

- model: the C++ model fed --minutes of a simulated link at once
  (<build-dir>/bench/clock_sync_sim): the worst minute's jitter and bias,
  with the drift also wandering by 0.05 ppm/s (30 ppm over 10 minutes); a
  device clock reset one minute in; the model's cost per frame;
- simulator: the library reading the simulated device (python -m
  vyre_tools.sim, its truth log) for --seconds, then a reboot of the device.

Every figure is the median of --rounds rounds (seeds 1 to --rounds).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import harness

import numpy as np

RATES = (100, 2300)
DRIFTS = (200, -200)
WANDER = 0.05  # ppm/s


def median_of(results, key):
    return statistics.median(r[key] for r in results)


def model_rounds(binary, fps, drift, minutes, rounds, wander=0.0, reset_at=None):
    out = []
    for seed in range(1, rounds + 1):
        argv = [binary, str(fps), str(drift), str(minutes), str(seed), str(wander)]
        if reset_at is not None:
            argv.append(str(reset_at))
        text = subprocess.run(argv, check=True, capture_output=True, text=True).stdout
        out.append(json.loads(text.replace(": nan", ": NaN")))  # printf's nan, Python's NaN
    return out


def spread(errors):
    median = float(np.median(errors))
    return float(np.percentile(np.abs(errors - median), 99)), median


def simulator_round(fps, drift, seconds, seed):
    from vyre_client import VYREClient
    from vyre_tools.sim import Simulator

    with tempfile.TemporaryDirectory() as tmp:
        truth_path = os.path.join(tmp, "truth.bin")
        parts, after = [], []
        with (
            Simulator.spawn(
                rate=fps,
                clock_drift_ppm=drift,
                clock_offset=100.0,
                burst_max=10,
                late_rate=0.05,
                seed=seed,
                truth_log=truth_path,
            ) as sim,
            VYREClient(sim.port_name) as client,
        ):
            end = time.monotonic() + 1.0 + seconds
            while time.monotonic() < end:
                time.sleep(0.01)
                parts.append(client.get_data_array())
            sync = client.clock_sync()
            client.reboot()
            end = time.monotonic() + 2.0
            while time.monotonic() < end:
                time.sleep(0.01)
                after.append(client.get_data_array())
            resets = client.clock_sync()["resets"]
        truth = np.fromfile(truth_path, dtype="<f8").reshape(-1, 2)
    # the reboot starts the device clock over: the same timestamps come again
    reboot = int(np.argmax(np.diff(truth[:, 0]) < 0)) + 1
    true_of = dict(zip(truth[:reboot, 0].tolist(), truth[:reboot, 1].tolist()))
    true_after = dict(zip(truth[reboot:, 0].tolist(), truth[reboot:, 1].tolist()))
    rows = np.concatenate(parts)
    true = np.array([true_of[t] for t in rows["timestamp_seconds"].tolist()])
    keep = true >= true[0] + 1.0  # after the first second
    rows, true = rows[keep], true[keep]
    received = rows["host_time_seconds"] - true
    stamped = ~np.isnan(rows["synced_time_seconds"])
    jitter, bias = spread(rows["synced_time_seconds"][stamped] - true[stamped])
    raw_jitter, raw_bias = spread(received)

    rows = np.concatenate(after)
    # the rows after the reboot: the device clock starts over at its offset
    restart = int(np.argmax(np.diff(rows["timestamp_seconds"]) < 0)) + 1
    rows = rows[restart:]
    true = np.array([true_after.get(t, np.nan) for t in rows["timestamp_seconds"].tolist()])
    stamped = ~np.isnan(rows["synced_time_seconds"])
    first = int(np.argmax(stamped)) if stamped.any() else None
    error = np.abs(rows["synced_time_seconds"][stamped] - true[stamped])
    return {
        "jitter_p99_us": 1e6 * jitter,
        "bias_us": 1e6 * bias,
        "raw_jitter_p99_us": 1e6 * raw_jitter,
        "raw_bias_us": 1e6 * raw_bias,
        "min_delay_us": 1e6 * float(received.min()),
        "fitted_drift_ppm": sync["drift_ppm"],
        "resync_s": float(true[first] - true[0]) if first is not None else float("nan"),
        # a stamp from the old model is off by the whole time since the first boot
        "stamped_across": int((error > 0.1).sum()),
        "young_error_max_us": 1e6 * float(error.max()) if len(error) else float("nan"),
        "resets": resets,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(harness.ROOT, "build", "cmake"))
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--skip-simulator", action="store_true")
    args = parser.parse_args()
    binary = os.path.join(args.build_dir, "bench", "clock_sync_sim")
    print(harness.machine())

    print(
        f"\nmodel, {args.minutes:g} minutes of a simulated link (min delay 100 us + exp(50 us)), "
        f"medians of {args.rounds}, us:"
    )
    print(
        f"{'frames/s':>8} {'ppm':>5} {'wander':>6} | {'jitter p99':>10} {'bias':>7} | "
        f"{'worst min jitter':>16} {'worst min bias':>14} | {'raw jitter':>10} {'raw bias':>9} | "
        f"{'ns/frame':>8}"
    )
    for fps in RATES:
        for drift in DRIFTS:
            for wander in (0.0, WANDER):
                r = model_rounds(binary, fps, drift, args.minutes, args.rounds, wander)
                print(
                    f"{fps:>8} {drift:>+5} {wander:>6g} | {median_of(r, 'jitter_p99_us'):>10.1f} "
                    f"{median_of(r, 'bias_us'):>7.1f} | {median_of(r, 'worst_minute_jitter_p99_us'):>16.1f} "
                    f"{median_of(r, 'worst_minute_bias_us'):>14.1f} | {median_of(r, 'raw_jitter_p99_us'):>10.0f} "
                    f"{median_of(r, 'raw_bias_us'):>9.0f} | {median_of(r, 'ns_per_frame'):>8.1f}"
                )
    print("\nmodel, device clock reset 60 s into 2 minutes (stamped across: off by more than 1 ms):")
    for fps in RATES:
        r = model_rounds(binary, fps, 200, 2, args.rounds, 0.0, 60)
        print(
            f"{fps:>8} frames/s: resync {median_of(r, 'resync_s'):.3f} s, "
            f"stamped across: {max(x['stamped_across'] for x in r)}, "
            f"resets {median_of(r, 'resets'):g}"
        )

    if args.skip_simulator or not harness.library_available():
        return
    print(
        f"\nsimulator, {args.seconds:g} s through the library, then a reboot; medians of {args.rounds}, us:"
    )
    for fps in RATES:
        for drift in DRIFTS:
            r = [simulator_round(fps, drift, args.seconds, seed) for seed in range(1, args.rounds + 1)]
            print(
                f"{fps:>5} frames/s {drift:+} ppm: jitter p99 {median_of(r, 'jitter_p99_us'):.1f}, "
                f"bias {median_of(r, 'bias_us'):.1f} (min delay {median_of(r, 'min_delay_us'):.1f}); "
                f"raw jitter p99 {median_of(r, 'raw_jitter_p99_us'):.0f}, raw bias "
                f"{median_of(r, 'raw_bias_us'):.0f}; drift {median_of(r, 'fitted_drift_ppm'):+.1f} ppm; "
                f"after the reboot: resync {median_of(r, 'resync_s'):.3f} s, stamped across "
                f"{max(x['stamped_across'] for x in r)} (largest error of the new model's first "
                f"1.7 s {median_of(r, 'young_error_max_us'):.0f}), resets {median_of(r, 'resets'):g}"
            )
        sys.stdout.flush()


if __name__ == "__main__":
    main()
