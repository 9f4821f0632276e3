#!/usr/bin/env python3
"""CPU cost of recording the telemetry stream, format by format.

    .venv/bin/python bench/recording.py [--part live|offline|both] [--seconds 30]
                                        [--rounds 2] [--rate 2300] [--minutes 10]

offline: writes a ``--minutes`` recording at ``--rate`` frames/s (10 min at
2,300/s: 1,380,000 rows) through each format's writer, in the batches the
stream hands it (one ``get_data_array`` per 20 ms poll), from opening the
file to closing it, and reports the writer's CPU time as a share of one core
over the recording's length.  The rows are telemetry received from
bench/producer.c, repeated with shifted clocks and their values' last eight
mantissa bits redrawn, so that no two rows repeat (as noisy sensors never do)
and no format compresses better than it would on a real flight.

live: five ``vyre stream`` loops (the command's own ``stream`` function, its
view going nowhere) run at the same time, each against bench/producer.c
writing ``--rate`` frames/s one frame per write: one streaming only, four
recording in each format.  Each measures its process's CPU time (every
thread) over ``--seconds`` of streaming, after a warm-up that records into
a throwaway file of the same format (imports and first calls paid); a
format's cost is its share of a core minus the streaming-only share of the
same round.  The shares hold for any length of run, apart from what a writer
does once at its close, which the offline part measures at full length.
"""

import argparse
import os
import statistics
import sys
import tempfile
import time

import harness

FORMATS = (".csv", ".parquet", ".npz", ".mcap")
POLL_SECONDS = 0.02


def capture(build, frames):
    """``frames`` packets received from the producer, as one array."""
    import numpy as np
    from vyre_client import VYREClient

    producer = harness.Producer(build, frames)
    try:
        with VYREClient(producer.port_name) as client:
            producer.go()
            got, count = [], 0
            deadline = time.monotonic() + 60
            while count < frames and time.monotonic() < deadline:
                batch = client.get_data_array(block=True)
                got.append(batch)
                count += len(batch)
    finally:
        producer.close()
    return np.concatenate(got)


def recording_rows(sample, rows, rate):
    """``rows`` rows from ``sample``: clocks running on at ``rate``, every
    float32 value's last eight mantissa bits drawn at random."""
    import numpy as np
    from vyre_tools.recording.layout import TIME_COLUMNS

    out = np.resize(sample, rows)
    rng = np.random.default_rng(7)
    for name in out.dtype.names:
        if name in TIME_COLUMNS:
            continue
        bits = out[name].view(np.uint32)
        bits ^= rng.integers(0, 256, rows, dtype=np.uint32)
    t = np.arange(rows) / rate
    out["timestamp_seconds"] = 12.5 + t
    out["host_time_seconds"] = time.time() + t
    return out


def offline(build, args):
    from vyre_tools import recording

    rows = int(args.minutes * 60 * args.rate)
    data = recording_rows(capture(build, 20_000), rows, args.rate)
    batch = max(1, round(args.rate * POLL_SECONDS))
    seconds = rows / args.rate
    print(f"offline: {rows} rows ({seconds:.0f} s at {args.rate:g} frames/s) in batches of {batch}")
    with tempfile.TemporaryDirectory(prefix="vyre-rec-", dir=args.dir) as tmp:
        for suffix in FORMATS:
            path = os.path.join(tmp, "run" + suffix)
            recording.open_writer(path, data.dtype).close()  # imports, first-use costs
            c0, t0 = harness.cpu_seconds(), time.monotonic()
            writer = recording.open_writer(path, data.dtype)
            for start in range(0, rows, batch):
                writer.write(data[start : start + batch])
            writer.close()
            cpu, wall = harness.cpu_seconds() - c0, time.monotonic() - t0
            size = os.path.getsize(path)
            print(
                f"  {suffix:9} {100 * cpu / seconds:6.2f} % of a core  "
                f"({cpu:6.2f} s CPU, {wall:6.2f} s wall, {1e6 * cpu / rows:5.2f} µs/row, "
                f"{size / 2**20:7.1f} MiB)",
                flush=True,
            )
            os.unlink(path)


def role_stream(port, seconds, warmup, record):
    from vyre_client import VYREClient
    from vyre_tools.cli.connection import Device
    from vyre_tools.cli.stream import stream
    from vyre_tools.cli.console import Ui

    record = record if record != "-" else None
    with open(os.devnull, "w") as sink, VYREClient(port) as client:
        # the warm-up's packets go to a throwaway recording of the same
        # format: imports and first calls are paid before the window
        warm = None
        if record:
            from vyre_tools import recording

            warm = recording.open_writer(record, recording.packet_dtype())
        end = time.monotonic() + warmup
        while time.monotonic() < end:
            batch = client.get_data_array()
            if warm is not None:
                warm.write(batch)
            time.sleep(POLL_SECONDS)
        if warm is not None:
            warm.close()
        # the producer answers no request: the configuration's wait is short
        device = Device(client, port, 0.05)
        c0, t0 = harness.cpu_seconds(), time.monotonic()
        result = stream(Ui(file=sink), device, seconds, record)
        c1, t1 = harness.cpu_seconds(), time.monotonic()
    harness.emit(
        {"cpu_s": c1 - c0, "wall_s": t1 - t0, "packets": result.packets, "recorded": result.recorded}
    )


def live(build, args):
    names = ("-", *FORMATS)
    shares = {name: [] for name in names}
    with tempfile.TemporaryDirectory(prefix="vyre-rec-", dir=args.dir) as tmp:
        for r in range(args.rounds):
            producers, procs = {}, {}
            try:
                for name in names:
                    producers[name] = harness.Producer(
                        build, int(args.rate * (args.seconds + args.warmup + 30)), args.rate
                    )
                for name in names:
                    producers[name].go()
                    record = "-" if name == "-" else os.path.join(tmp, f"run{r}{name}")
                    procs[name] = harness.spawn_child(
                        harness.python_role(
                            "recording.py",
                            "stream",
                            producers[name].port_name,
                            args.seconds,
                            args.warmup,
                            record,
                        )
                    )
                results = {
                    name: harness.collect(p, args.seconds + args.warmup + 120) for name, p in procs.items()
                }
            finally:
                harness.end_all(procs.values(), producers.values())
            base = results["-"]["cpu_s"] / results["-"]["wall_s"]
            line = [
                f"round {r + 1}: streaming only {100 * base:.2f} % "
                f"({results['-']['packets'] / results['-']['wall_s']:.0f} packets/s)"
            ]
            for name in names:
                share = results[name]["cpu_s"] / results[name]["wall_s"]
                shares[name].append(share if name == "-" else share - base)
                if name != "-":
                    line.append(f"{name} +{100 * (share - base):.2f} % ({results[name]['recorded']} rows)")
            print("; ".join(line), flush=True)
    print(
        f"live, {args.seconds:g} s windows, medians of {args.rounds} rounds: streaming only "
        f"{100 * statistics.median(shares['-']):.2f} % of a core; recording adds "
        + ", ".join(f"{name} {100 * statistics.median(shares[name]):+.2f} %" for name in FORMATS)
    )


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--role":
        port, seconds, warmup, record = sys.argv[3:7]
        return role_stream(port, float(seconds), float(warmup), record)
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--part", choices=("live", "offline", "both"), default="both")
    p.add_argument("--seconds", type=float, default=30.0, help="live window (default 30)")
    p.add_argument("--warmup", type=float, default=2.0)
    p.add_argument("--rounds", type=int, default=2)
    p.add_argument("--rate", type=float, default=2300.0)
    p.add_argument("--minutes", type=float, default=10.0, help="offline recording length")
    p.add_argument("--dir", default=None, help="where the recordings go (default: temp)")
    args = p.parse_args()
    if not harness.library_available():
        sys.exit("bench/recording.py needs the vyre_client module (make venv)")
    print(harness.machine())
    with harness.CBuild() as build:
        if args.part in ("offline", "both"):
            offline(build, args)
        if args.part in ("live", "both"):
            live(build, args)


if __name__ == "__main__":
    main()
