#!/usr/bin/env python3
"""Throughput and size of VYREDataPacket objects.

Run with the project's environment:  .venv/bin/python bench/packet_bench.py
"""

import argparse
import sys
import timeit

import vyre_client
from vyre_client import VYREDataPacket

ARGS = tuple(0.5 * i + 0.25 for i in range(18))
KWARGS = dict(
    zip(
        VYREDataPacket.__struct_fields__[:6]
        + VYREDataPacket.__struct_fields__[10:18]
        + VYREDataPacket.__struct_fields__[19:],
        ARGS,
    )
)


def rate(statement, setup_globals, repeat):
    timer = timeit.Timer(statement, globals=setup_globals)
    number, _ = timer.autorange()
    best = min(timer.repeat(repeat=repeat, number=number))
    return number / best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="timing runs per case; the best counts")
    options = parser.parse_args()

    p = VYREDataPacket(*ARGS)
    assert VYREDataPacket(**KWARGS).as_dict() == p.as_dict()
    env = {
        "VYREDataPacket": VYREDataPacket,
        "ARGS": ARGS,
        "KWARGS": KWARGS,
        "p": p,
        "fields": VYREDataPacket.__struct_fields__,
        "getattr": getattr,
    }
    cases = [
        ("constructor, 18 positional floats", "VYREDataPacket(*ARGS)", 1),
        ("constructor, 18 keywords", "VYREDataPacket(**KWARGS)", 1),
        ("from a core record (default_zero)", "VYREDataPacket.default_zero()", 1),
        ("attribute read (est_mach_number)", "p.est_mach_number", 1),
        ("attribute read, all 23 fields", "for f in fields: getattr(p, f)", 23),
        ("as_dict()", "p.as_dict()", 1),
    ]
    print(f"vyre_client {vyre_client.__version__} on Python {sys.version.split()[0]}")
    for label, statement, per_loop in cases:
        print(f"{label:<40} {rate(statement, env, options.repeat) * per_loop / 1e6:8.2f} M/s")
    size = sys.getsizeof(p)
    print(f"{'sys.getsizeof(instance)':<40} {size:8d} bytes (target <= {object.__basicsize__} + 96)")


if __name__ == "__main__":
    main()
