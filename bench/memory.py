#!/usr/bin/env python3
"""Memory kept per telemetry packet: VYREDataPacket against the peer's dataclass.

    .venv/bin/python bench/memory.py [--packets 1000000]

Each measurement runs in a fresh interpreter that keeps ``--packets``
packets in a list allocated beforehand, so that the figure is the packets'
own memory; the list's 8 bytes per slot are added separately.  Two ways of
counting, each in its own process:

- tracemalloc: bytes requested from Python's allocators while the packets
  were made, less what was freed again;
- RSS: growth of the resident set (what the allocators really took from the
  system, with their rounding to size classes).

Packets come from the same byte stream for both: the library's are built by
VYREDataPacket from the 18 wire values (the same objects get_data_packets
returns), the peer's by its framer (bench/peer.py).  With VYREClient
available, the library is also measured receiving its packets through
get_data_packets from a pseudo-terminal.
"""

import argparse
import gc
import os
import sys
import time
import tracemalloc

import harness

RING = 4096


def stream():
    """RING telemetry frames of a device turning and climbing, as bytes."""
    import math
    from vyre_tools import protocol as p

    frames = []
    for i in range(RING):
        t = i / 200.0
        q = (math.cos(t), 0.6 * math.sin(t), 0.48 * math.sin(t), 0.64 * math.sin(t))
        values = (
            i * 1e-3,
            20.0 + math.sin(t),
            98000.0 + 10 * math.cos(t),
            0.1 * math.sin(t),
            0.2,
            0.97,
            1.0,
            2.0,
            3 * math.cos(t),
            20.0,
            -5.0,
            -40.0,
            250.0 + t,
            3 * math.sin(t),
            *q,
        )
        frames.append(p.build_frame(p.DATA_HEADER, 0, p.TELEMETRY.pack(*values)))
    return b"".join(frames)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def fill_constructed(keep, data):
    from vyre_client import VYREDataPacket
    from peer import TELEMETRY

    fields = [TELEMETRY.unpack_from(data, k * 86 + 8) for k in range(RING)]
    for i in range(len(keep)):
        keep[i] = VYREDataPacket(*fields[i % RING])


def fill_peer(keep, data):
    from peer import Framer

    framer = Framer(exact=True)
    i = 0
    while i < len(keep):
        for packet in framer.feed(data):
            if i == len(keep):
                break
            keep[i] = packet
            i += 1


def fill_client(keep, port_name, producer_go):
    from vyre_client import VYREClient

    client = VYREClient(port_name)
    client.start()
    producer_go()
    i = 0
    idle_since = time.monotonic()
    while i < len(keep):
        time.sleep(0.01)
        packets = client.get_data_packets()
        if packets:
            idle_since = time.monotonic()
        elif time.monotonic() - idle_since > 10:
            raise RuntimeError(f"only {i} packets arrived")
        for packet in packets:
            keep[i] = packet
            i += 1
    client.stop()
    del client


def role(kind, method, n):
    data = stream()
    keep = [None] * n
    producer = None
    build = None
    if kind == "client":
        build = harness.CBuild()
        producer = harness.Producer(build, n)
    # warm up the allocators and the types once, then forget it all
    sample = [None] * RING
    if kind == "peer":
        fill_peer(sample, data)
    else:
        fill_constructed(sample, data)
    del sample
    gc.collect()
    if method == "tracemalloc":
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
    else:
        before = rss_bytes()
    t0 = time.perf_counter()
    if kind == "peer":
        fill_peer(keep, data)
    elif kind == "constructed":
        fill_constructed(keep, data)
    else:
        fill_client(keep, producer.port_name, producer.go)
    seconds = time.perf_counter() - t0
    gc.collect()
    after = tracemalloc.get_traced_memory()[0] if method == "tracemalloc" else rss_bytes()
    if producer is not None:
        producer.close()
        build.close()
    assert all(p is not None for p in keep)
    harness.emit(
        {
            "bytes": after - before,
            "packets": n,
            "seconds": seconds,
            "type": type(keep[0]).__name__,
            "getsizeof": sys.getsizeof(keep[0]),
        }
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=1_000_000)
    parser.add_argument("--role", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.role:
        return role(args.role[0], args.role[1], int(args.role[2]))

    kinds = ["peer"]
    try:
        import vyre_client
    except ImportError:
        print("vyre_client is not importable: library left out")
    else:
        kinds.insert(0, "constructed")
        if hasattr(vyre_client, "VYREClient"):
            kinds.insert(1, "client")
        else:
            print("vyre_client has no VYREClient in this environment: client path left out")
    print(harness.machine())
    print(f"{args.packets} packets kept")
    labels = {
        "constructed": "VYREDataPacket (built from the wire values)",
        "client": "VYREDataPacket (from get_data_packets)",
        "peer": "peer dataclass(slots=True)",
    }
    per = {}
    print(f"{'packets':<45} {'method':<12} {'bytes each':>10} {'+ list slot':>12} {'getsizeof':>10}")
    for method in ("tracemalloc", "rss"):
        for kind in kinds:
            r = harness.run_child(harness.python_role("memory.py", kind, method, args.packets), timeout=1800)
            per[kind, method] = r["bytes"] / r["packets"]
            print(
                f"{labels[kind]:<45} {method:<12} {per[kind, method]:10.1f} "
                f"{per[kind, method] + 8:12.1f} {r['getsizeof']:10d}"
            )
    for method in ("tracemalloc", "rss"):
        if ("constructed", method) in per:
            lib = per.get(("client", method), per["constructed", method])
            print(
                f"{method}: peer / library = {per['peer', method] / lib:.2f} "
                f"(with the list slot: {(per['peer', method] + 8) / (lib + 8):.2f}); "
                "goal: library <= 120 bytes and >= 7x less"
            )
    print(f"after the run: load average {', '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    sys.exit(main())
