#!/usr/bin/env python3
"""Cost of get_data_packets and get_data_array per packet on a queue of ready packets.

    .venv/bin/python bench/delivery.py [--packets 100000] [--repeat 7]

bench/producer.c writes ``--packets`` frames into a pseudo-terminal; the
client's reader thread decodes them all into its packet queue; once the
stream has been quiet for a while, one get_data_array() call is timed; then
the same again for one get_data_packets() call. Beside them, in the same
process: building as many packets from ready values with the VYREDataPacket
constructor, and the peer's per-packet object (its dataclass built from 23
ready floats). A module without get_data_array (an older build, for
comparison) gets only the other rows.
"""

import argparse
import gc
import os
import statistics
import sys
import time

import harness

SETTLE = 0.5  # seconds for the reader to decode what is already written


def timed(fn):
    gc.collect()
    t0 = time.perf_counter_ns()
    result = fn()
    return time.perf_counter_ns() - t0, result


def take_all(producer, take, n):
    """Lets the producer write n frames, then times one take() of the full queue:
    (ns per packet, or None when the reader was slow and a second call was needed;
    everything taken)."""
    producer.go()
    producer.result()
    time.sleep(SETTLE)
    ns, taken = timed(take)
    parts = [taken]
    while sum(map(len, parts)) < n:  # the reader was slow: take the rest; this call does not count
        time.sleep(SETTLE)
        more = take()
        if not len(more):
            raise RuntimeError(f"only {sum(map(len, parts))} of {n} packets arrived")
        parts.append(more)
        ns = None
    if sum(map(len, parts)) != n:
        raise RuntimeError(f"{sum(map(len, parts))} packets for {n} frames")
    return (None if ns is None else ns / n), parts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    if not harness.library_available():
        raise SystemExit("vyre_client has no VYREClient in this environment")
    from vyre_client import VYREClient, VYREDataPacket
    from peer import PeerPacket

    n = args.packets

    print(harness.machine())
    library, array, constructor, peer = [], [], [], []
    with harness.CBuild() as build:
        producer = harness.Producer(build, n)
        try:
            client = VYREClient(producer.port_name)
            client.start()
            has_array = hasattr(client, "get_data_array")
            if has_array:
                client.get_data_array()  # numpy's import and the dtype are a first call's, not per packet
            for _ in range(args.repeat):
                if has_array:
                    ns, parts = take_all(producer, client.get_data_array, n)
                    if ns is not None:
                        array.append(ns)
                    del parts
                ns, parts = take_all(producer, client.get_data_packets, n)
                if ns is not None:
                    library.append(ns)
                packets = [p for part in parts for p in part]
                del parts
                fields = [[getattr(p, f) for f in VYREDataPacket.__struct_fields__] for p in packets[:4096]]
                del packets
                inputs = [f[:6] + f[10:18] + f[19:] for f in fields]
                inputs = (inputs * (n // len(inputs) + 1))[:n]
                values = (fields * (n // len(fields) + 1))[:n]
                ns, built = timed(lambda: [VYREDataPacket(*v) for v in inputs])
                constructor.append(ns / n)
                del built
                ns, built = timed(lambda: [PeerPacket(*v) for v in values])
                peer.append(ns / n)
                del built
            client.stop()
        finally:
            producer.close()

    def show(label, xs):
        print(f"{label:<58} {min(xs):7.1f} {statistics.median(xs):7.1f}")

    print(f"{n} packets, {len(library)} + {len(array)} timed calls")
    print(f"{'ns per packet':<58} {'best':>7} {'median':>7}")
    show("get_data_packets() on a full queue", library)
    if array:
        show("get_data_array() on a full queue", array)
    show("VYREDataPacket(*18 values) in a list comprehension", constructor)
    show("peer: PeerPacket(*23 values) in a list comprehension", peer)
    print(
        f"peer / get_data_packets = {statistics.median(peer) / statistics.median(library):.2f} "
        f"(medians); goal: get_data_packets <= 60 ns per packet"
    )
    if array:
        print(
            f"get_data_packets / get_data_array = {statistics.median(library) / statistics.median(array):.0f} "
            f"(medians); goal: get_data_array <= 10 ns per packet"
        )
    print(f"after the run: load average {', '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    sys.exit(main())
