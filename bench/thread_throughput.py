#!/usr/bin/env python3
"""How much another Python thread gets done while a client waits.

    .venv/bin/python bench/thread_throughput.py [--seconds 2] [--rounds 3]

A counting loop runs on a second thread for ``--seconds`` while the main
thread waits that long on a silent device (a pseudo-terminal nobody writes
to): ``get_data_packets(block=True)`` with the client's timeout set to the
same time, and ``get_device_info(seconds)``; once with waits keeping the
interpreter lock (the default) and once with ``release_gil``. Each figure is
the loop's count against the same loop run alone, in rounds of the three;
the median and the best count of ``--rounds`` rounds are compared (the best
is the figure least disturbed by other work on a shared machine). Then eight clients, each read by its own thread
with ``block=True``, while the main thread sleeps: how long a 3 s sleep took.
"""

import argparse
import statistics
import threading
import time

import harness
from silent_port import SilentPort
from vyre_client import VYREClient


def count_for(seconds, out):
    n, end = 0, time.perf_counter() + seconds
    while time.perf_counter() < end:
        n += 1
    out.append(n)


def alongside(wait, seconds):
    """The loop's count while `wait()` runs on this thread."""
    out = []
    thread = threading.Thread(target=count_for, args=(seconds, out))
    thread.start()
    wait()
    thread.join()
    return out[0]


def expect_time_out(call):
    try:
        call()
    except OSError as error:
        if "timed out" not in str(error):
            raise


def round_of(port_name, seconds, release):
    """The loop's counts: alone, during the packet wait, during the transaction."""
    solo = []
    count_for(seconds, solo)
    with VYREClient(port_name, timeout=seconds) as client:
        client.release_gil = release
        packets = alongside(lambda: expect_time_out(lambda: client.get_data_packets(block=True)), seconds)
        info = alongside(lambda: client.get_device_info(seconds), seconds)
    return solo[0], packets, info


def eight_readers(sleep_seconds, release):
    ports = [SilentPort() for _ in range(8)]
    stop = threading.Event()

    def read(port_name):
        with VYREClient(port_name, timeout=1.0) as client:
            client.release_gil = release
            while not stop.is_set():
                expect_time_out(lambda: client.get_data_packets(block=True))

    threads = [threading.Thread(target=read, args=(p.port_name,)) for p in ports]
    for thread in threads:
        thread.start()
    time.sleep(0.5)
    started = time.monotonic()
    time.sleep(sleep_seconds)
    took = time.monotonic() - started
    stop.set()
    for thread in threads:
        thread.join()
    for port in ports:
        port.close()
    return took


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    print(harness.machine())
    with SilentPort() as port:
        for release in (False, True):
            solo, packets, info = zip(
                *(round_of(port.port_name, args.seconds, release) for _ in range(args.rounds))
            )
            label = "release_gil=True " if release else "release_gil=False"
            for name, pick in (("median", statistics.median), ("best", max)):
                print(
                    f"{label}: other thread's throughput during a {args.seconds:g} s wait, against alone "
                    f"({name} of {args.rounds}): get_data_packets(block=True) {pick(packets) / pick(solo):6.1%}, "
                    f"get_device_info {pick(info) / pick(solo):6.1%}"
                )
    for release in (False, True):
        took = eight_readers(3.0, release)
        print(
            f"release_gil={release!s:5}: 8 clients read by threads with block=True; a 3 s sleep took {took:.2f} s"
        )


if __name__ == "__main__":
    main()
