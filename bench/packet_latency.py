#!/usr/bin/env python3
"""How late telemetry reaches the script: from the moment the device writes a
frame to the moment the script holds it.

    .venv/bin/python bench/packet_latency.py [--frames 2000] [--rate 500] [--rounds 3] [--other PYTHON]

A writer process plays the device on a pseudo-terminal: one frame a write at
``--rate`` frames/s on average (random gaps), each stamped with CLOCK_MONOTONIC (time.monotonic) in
its timestamp field just before the write. Readers, one after the other,
each on a device of its own:

- floor: bench/floor.c blocked in poll + read;
- library blocked: get_data_packets(block=True) in a loop;
- library, 1 ms polls: get_data_packets() every millisecond;
- peer, 1 ms polls: bench/peer.py reading what is there every millisecond;
- with ``--other``, the two library readers again with another build's python
  (its own environment), in the same rounds.

Prints p50 and p99 of the delays per reader and round, then the medians over
the rounds.
"""

import argparse
import os
import pty
import random
import statistics
import struct
import sys
import time
import tty

import harness
from vyre_tools.protocol import build_frame  # the fast CRC: little of the writer's own time in the delays

POLL = 0.001


def writer(fd, rate, frames):
    """The device: `frames` frames at `rate` on average, each stamped when
    written. The gaps vary at random, so that the writes do not keep step
    with a reader's polls."""
    rest = bytes(13 * 4) + struct.pack("<4f", 1.0, 0.0, 0.0, 0.0)  # at rest, attitude level
    jitter = random.Random(1)
    t = time.monotonic() + 0.5
    for _ in range(frames):
        t += jitter.uniform(0.5, 1.5) / rate
        harness.sleep_until(t)
        os.write(fd, build_frame(0xA55A, 0, struct.pack("<d", time.monotonic()) + rest))


def role_library(port, frames, mode):
    from vyre_client import VYREClient

    client = VYREClient(port, timeout=5.0)
    client.start()
    delays = []
    t = time.monotonic()
    while len(delays) < frames:
        if mode == "blocked":
            got = client.get_data_packets(block=True)
        else:
            t += POLL
            harness.sleep_until(t)
            got = client.get_data_packets()
        now = time.monotonic()
        delays += [now - p.timestamp_seconds for p in got]
    client.stop()
    harness.emit({"delays": delays})


def role_peer(port, frames):
    from peer import PeerClient

    delays = []
    with PeerClient(port) as client:
        t = time.monotonic()
        while len(delays) < frames:
            t += POLL
            harness.sleep_until(t)
            got = client.read_packets(0)
            now = time.monotonic()
            delays += [now - p.timestamp_seconds for p in got]
    harness.emit({"delays": delays})


READERS = ("floor", "library blocked", "library, 1 ms polls", "peer, 1 ms polls")
OTHER_READERS = ("other blocked", "other, 1 ms polls")


def measure(build, reader, frames, rate, other=None):
    master, slave = pty.openpty()
    tty.setraw(master)
    port = os.ttyname(slave)
    if reader == "floor":
        argv = [build.path("floor"), port, "--latency", str(frames)]
    elif reader == "peer, 1 ms polls":
        argv = harness.python_role("packet_latency.py", "peer", port, frames)
    else:
        argv = harness.python_role(
            "packet_latency.py", "library", port, frames, "blocked" if "blocked" in reader else "poll"
        )
        if reader.startswith("other"):
            argv[0] = other
    proc = harness.spawn_child(argv)
    try:
        time.sleep(0.3)  # the reader is up and waiting
        writer(master, rate, frames)
        delays = harness.collect(proc, timeout=60)["delays"]
    finally:
        os.close(master)
        os.close(slave)
    delays.sort()
    return delays[len(delays) // 2], delays[int(0.99 * len(delays))]


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--role":
        role, port, frames = sys.argv[2], sys.argv[3], int(sys.argv[4])
        if role == "library":
            role_library(port, frames, sys.argv[5])
        else:
            role_peer(port, frames)
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--rate", type=float, default=500.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--other", help="another build's python, whose library runs beside this one's")
    args = parser.parse_args()
    print(harness.machine())
    readers = READERS + (OTHER_READERS if args.other else ())
    results = {reader: [] for reader in readers}
    with harness.CBuild() as build:
        for k in range(args.rounds):
            print(f"round {k + 1}: {args.frames} frames at {args.rate:.0f}/s")
            for reader in readers:
                p50, p99 = measure(build, reader, args.frames, args.rate, args.other)
                results[reader].append((p50, p99))
                print(f"  {reader:<24} p50 {p50 * 1e6:8.1f} us   p99 {p99 * 1e6:8.1f} us", flush=True)
    print(f"medians of {args.rounds} rounds:")
    for reader, rows in results.items():
        print(
            f"  {reader:<24} p50 {statistics.median(r[0] for r in rows) * 1e6:8.1f} us   "
            f"p99 {statistics.median(r[1] for r in rows) * 1e6:8.1f} us"
        )
    for blocked in ("library blocked",) + (("other blocked",) if args.other else ()):
        gaps = [(b[0] - f[0]) * 1e6 for b, f in zip(results[blocked], results["floor"])]
        print(
            f"  {blocked} - floor (p50, per round): {', '.join(f'{g:+.1f}' for g in gaps)} us; "
            f"median {statistics.median(gaps):+.1f} us"
        )


if __name__ == "__main__":
    main()
