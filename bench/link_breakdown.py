#!/usr/bin/env python3
"""Where the library's CPU time at the link's rate goes, step by step from the floor.

    .venv/bin/python bench/link_breakdown.py --build-dir build/<dir> [--seconds 15] [--rounds 3]

``--build-dir`` is a CMake build of this tree (its client_runtime and
vyre_core libraries link bench/runtime_only.cpp).  Every client gets a
producer of its own writing each frame on its own at ``--rate`` frames/s, and
all run at the same time:

- floor: poll and read;
- floor --thread: the same loop in a second thread, the main thread waking
  every 10 ms;
- floor --thread --wake-fd --read-size 1024: also ppoll on an eventfd and
  1,024-byte reads, the library's way of waiting and reading;
- runtime from C++: the client runtime's reader thread, packets taken every
  10 ms, no interpreter;
- library: VYREClient and a Python script calling get_data_packets every 10 ms.

Each row's CPU share is divided by the floor's of its round; medians over
the rounds are printed.
"""

import argparse
import os
import statistics
import subprocess
import sys

import harness

STEPS = (
    ("floor", []),
    ("floor --thread", ["--thread"]),
    ("floor --thread --wake-fd --read-size 1024", ["--thread", "--wake-fd", "--read-size", "1024"]),
    ("runtime from C++ (no interpreter)", None),
    ("library (Python, 10 ms script)", None),
)


def build_runtime_only(build_dir, out_dir):
    cxx = os.environ.get("CXX") or "g++"
    out = os.path.join(out_dir, "runtime_only")
    libs = [
        os.path.join(build_dir, "client_runtime", "libclient_runtime.a"),
        os.path.join(build_dir, "vyre_core", "libvyre_core.a"),
    ]
    for lib in libs:
        if not os.path.exists(lib):
            raise SystemExit(f"{lib} is missing: build the tree into {build_dir} first")
    subprocess.run(
        [
            cxx,
            "-std=c++20",
            "-O2",
            "-I",
            os.path.join(harness.ROOT, "client_runtime", "src"),
            "-I",
            os.path.join(harness.ROOT, "vyre_core", "src"),
            "-I",
            "/usr/include/eigen3",
            os.path.join(harness.BENCH, "runtime_only.cpp"),
            *libs,
            "-lpthread",
            "-o",
            out,
        ],
        check=True,
    )
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--seconds", type=float, default=15.0)
    parser.add_argument("--warmup", type=float, default=2.0)
    parser.add_argument("--rate", type=float, default=2300.0)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if not harness.library_available():
        raise SystemExit("vyre_client has no VYREClient in this environment")
    s, w = args.seconds, args.warmup

    print(harness.machine())
    ratios = {label: [] for label, _ in STEPS}
    with harness.CBuild() as build:
        runtime_only = build_runtime_only(os.path.abspath(args.build_dir), build.dir)
        for i in range(args.rounds):
            producers, procs = {}, {}
            try:
                for label, _ in STEPS:
                    producers[label] = harness.Producer(build, int(args.rate * (s + w + 30)), args.rate)
                for producer in producers.values():
                    producer.go()
                for label, options in STEPS:
                    port = producers[label].port_name
                    if options is not None:
                        argv = [build.path("floor"), port, str(s), str(w), *options]
                    elif label.startswith("runtime"):
                        argv = [runtime_only, port, str(s), str(w)]
                    else:
                        argv = harness.python_role("link_rate.py", "library", port, s, w)
                    procs[label] = harness.spawn_child(argv)
                results = {label: harness.collect(p, s + w + 60) for label, p in procs.items()}
            finally:
                for p in procs.values():
                    if p.poll() is None:
                        p.kill()
                        p.wait()
                for producer in producers.values():
                    producer.close()
            share = {label: 100.0 * r["cpu_s"] / r["wall_s"] for label, r in results.items()}
            print(
                f"round {i + 1}: floor {share['floor']:.2f} % of a core; "
                + ", ".join(f"{label} {share[label] / share['floor']:.2f}x" for label, _ in STEPS[1:])
            )
            for label, _ in STEPS:
                ratios[label].append(share[label] / share["floor"])
    print(f"{'median over the rounds':<45} {'x floor':>8}")
    for label, _ in STEPS:
        print(f"{label:<45} {statistics.median(ratios[label]):8.2f}")
    print(f"after the run: load average {', '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    sys.exit(main())
