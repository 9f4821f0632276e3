#!/usr/bin/env python3
"""Noise characterisation: speed and memory on a long recording, accuracy
against known figures, and agreement with an Allan-deviation library.

    .venv/bin/python bench/noise.py [--part big|accuracy|oracle|all]
                                    [--hours 3] [--rate 1000] [--seeds 10]

big: a synthetic still recording of ``--hours`` at ``--rate`` samples/s
(nine axes, pressure and temperature, each with white noise, flicker and a
random walk) written as Parquet, then ``vyre noise FILE --json`` run on it
as its own process: its wall time and its peak resident memory (the
child's ru_maxrss).  Goals: at most 30 s and 1 GB for 3 hours at 1 kHz.

accuracy: the simulator's own noise model (vyre_tools.sim.noise) with known
white-noise density, bias instability and random walk, a gyroscope-like and
an accelerometer-like channel, ``--seeds`` seeds of 12 hours at 10 samples/s
each: the median error of each fitted figure.  Goals: density and random
walk within 5 %, bias instability within 20 %.

oracle: the overlapping Allan deviation of vyre_tools against allantools'
oadev (the test extra's) on the same 200,000 samples at the same averaging
times: the largest relative difference.  Goal: 1e-9.
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

import harness

CHUNK = 1 << 20
# (column prefix, white density, bias instability, random walk) per sensor
# of the big recording, in the columns' units
BIG_NOISE = (
    ("raw_acceleration", 1e-4, 2e-5, 2e-6),
    ("raw_angular_rate", 5e-3, 2e-3, 1e-4),
    ("magnetic_field", 0.01, 0.005, 1e-4),
    ("pressure_pascals", 0.05, 0.1, 0.005),
    ("temperature_celsius", 0.002, 0.01, 1e-4),
)


def flicker_rows(rng, rows, rate, instability):
    """Flicker noise for ``rows`` samples: the simulator's Gauss-Markov sum
    (correlation times from 1 s up), stepped at 10 Hz and held between."""
    import numpy as np
    from vyre_tools.sim.noise import FLICKER_RATIO, FLICKER_TIMES

    step = 0.1
    times = np.array([t for t in FLICKER_TIMES if t >= 1.0])
    a = np.exp(-step / times)
    sigma = instability * np.sqrt(np.log(FLICKER_RATIO) / np.pi)
    steps = int(np.ceil(rows / (rate * step))) + 1
    shocks = rng.standard_normal((steps, len(times))) * sigma * np.sqrt(1 - a * a)
    state = rng.standard_normal(len(times)) * sigma
    out = np.empty(steps)
    for i in range(steps):
        state = a * state + shocks[i]
        out[i] = state.sum()
    return np.repeat(out, int(round(rate * step)))[:rows]


def write_big(path, hours, rate):
    import numpy as np
    from vyre_tools import recording

    rows = int(hours * 3600 * rate)
    dtype = recording.packet_dtype()
    rng = np.random.default_rng(11)
    levels = {"raw_acceleration_z_gs": 1.0, "pressure_pascals": 98000.0, "temperature_celsius": 22.0}
    series = {}
    for prefix, white, instability, walk in BIG_NOISE:
        for name in dtype.names:
            if name.startswith(prefix):
                drift = flicker_rows(rng, rows, rate, instability)
                drift += np.cumsum(rng.standard_normal(rows)) * (walk / np.sqrt(rate))
                series[name] = (drift.astype(np.float64), white * np.sqrt(rate), levels.get(name, 0.0))
    with recording.open_writer(path, dtype) as writer:
        for start in range(0, rows, CHUNK):
            n = min(CHUNK, rows - start)
            chunk = np.zeros(n, dtype)
            t = (start + np.arange(n)) / rate
            chunk["timestamp_seconds"] = 5.0 + t
            chunk["host_time_seconds"] = 1.7e9 + t
            chunk["synced_time_seconds"] = 1.7e9 + t
            chunk["est_quaternion_w"] = 1.0
            for name, (drift, sd, level) in series.items():
                chunk[name] = level + drift[start : start + n] + rng.standard_normal(n) * sd
            writer.write(chunk)
    return rows


def big(args):
    with tempfile.TemporaryDirectory(prefix="vyre-noise-") as tmp:
        path = os.path.join(tmp, "still.parquet")
        t0 = time.monotonic()
        # written by a child: the measured command is forked from this
        # process, and a fork's resident memory counts in its peak
        subprocess.run(
            [sys.executable, __file__, "--write", path, "--hours", str(args.hours), "--rate", str(args.rate)],
            check=True,
        )
        rows = int(args.hours * 3600 * args.rate)
        print(
            f"big: {rows} rows ({args.hours:g} h at {args.rate:g} Hz), "
            f"{os.path.getsize(path) / 2**20:.0f} MiB Parquet, written in {time.monotonic() - t0:.0f} s",
            flush=True,
        )
        env = dict(os.environ, PYTHONPATH=harness.ROOT)
        out = os.path.join(tmp, "figures.json")
        argv = [sys.executable, "-m", "vyre_tools.cli", "noise", path, "--json", out]
        t0 = time.monotonic()
        with open(os.devnull, "w") as sink:
            proc = subprocess.Popen(argv, env=env, stdout=sink)
            _, status, usage = os.wait4(proc.pid, 0)
            proc.returncode = os.waitstatus_to_exitcode(status)
        wall = time.monotonic() - t0
        if proc.returncode:
            raise SystemExit(f"vyre noise failed with status {proc.returncode}")
        with open(out) as f:
            report = json.load(f)
        print(
            f"  vyre noise: {wall:.1f} s wall, {usage.ru_utime + usage.ru_stime:.1f} s CPU, "
            f"peak memory {usage.ru_maxrss / 2**10:.0f} MiB (goals: 30 s, 1024 MiB)"
        )
        gyro = report["channels"]["raw_angular_rate_x_deg_per_s"]
        print(
            f"  angular rate x: density {gyro['white_noise_density']['value']:.4g} (true 5e-3), "
            f"instability {gyro['bias_instability']['value']:.4g} (2e-3), "
            f"random walk {gyro['random_walk']['value']:.4g} (1e-4)"
        )


# (name, white density, bias instability, random walk) of the accuracy part
KNOWN = (
    ("gyroscope-like (deg/s)", 0.005, 0.002, 1e-4),
    ("accelerometer-like (g)", 1e-4, 5e-5, 4e-6),
)


def accuracy(args):
    from vyre_tools.procedures.allan import allan_deviation, fit_figures
    from vyre_tools.sim.noise import ChannelNoise

    import numpy as np

    rate, hours = 10.0, 12.0
    n = int(hours * 3600 * rate)
    print(f"accuracy: {args.seeds} seeds of {hours:g} h at {rate:g} Hz per channel; median error (spread)")
    for name, white, instability, walk in KNOWN:
        errors = {"density": [], "instability": [], "random walk": []}
        for seed in range(args.seeds):
            channel = ChannelNoise(0.0, white, instability, walk, random.Random(1000 + seed))
            gauss = random.Random(seed).gauss
            y = np.fromiter((channel.sample(gauss, 1 / rate) for _ in range(n)), float, n)
            f = fit_figures(allan_deviation([y], 1 / rate))
            errors["density"].append(f.white.value / white - 1)
            errors["instability"].append(f.instability.value / instability - 1)
            errors["random walk"].append(f.walk.value / walk - 1)
        parts = []
        for key, values in errors.items():
            parts.append(
                f"{key} {100 * statistics.median(values):+.1f} % "
                f"({100 * min(values):+.0f} to {100 * max(values):+.0f} %)"
            )
        print(f"  {name}: " + ", ".join(parts), flush=True)
    print("  goals: density and random walk within 5 %, bias instability within 20 % (medians)")


def oracle(args):
    import allantools
    import numpy as np
    from vyre_tools.procedures.allan import allan_deviation

    rng = np.random.default_rng(5)
    n, rate = 200_000, 100.0
    y = 1.0 + rng.standard_normal(n) * 0.01 + np.cumsum(rng.standard_normal(n)) * 1e-5
    y = y.astype(np.float32).astype(np.float64)  # as a recording holds it
    ours = allan_deviation([y], 1 / rate)
    taus, theirs, _, counts = allantools.oadev(y, rate=rate, data_type="freq", taus=ours.taus)
    same = np.allclose(taus, ours.taus) and (counts == ours.terms).all()
    worst = float(np.max(np.abs(theirs / ours.deviation - 1)))
    print(
        f"oracle: {len(taus)} averaging times of {n} samples, largest relative difference "
        f"{worst:.2g} (goal 1e-9), same averaging times and counts: {same}"
    )


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--part", choices=("big", "accuracy", "oracle", "all"), default="all")
    p.add_argument("--hours", type=float, default=3.0)
    p.add_argument("--rate", type=float, default=1000.0)
    p.add_argument("--seeds", type=int, default=10)
    p.add_argument("--write", metavar="PATH", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.write:
        write_big(args.write, args.hours, args.rate)
        return
    print(harness.machine())
    for part in ("oracle", "accuracy", "big"):
        if args.part in (part, "all"):
            globals()[part](args)


if __name__ == "__main__":
    main()
