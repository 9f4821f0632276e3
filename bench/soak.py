#!/usr/bin/env python3
"""Soak: telemetry at the link's rate for a long time while a command runs every second.

    .venv/bin/python bench/soak.py [--seconds 600] [--rate 2300]

The simulated device (a child process on a pseudo-terminal) streams
``--rate`` frames/s, stamping frame k with k / rate on its clock, so every
lost, repeated or reordered packet shows in the timestamps; at the end its
own count of frames sent is compared with the packets received (frames the
device dropped itself, starved of CPU on a busy machine, are reported apart
and must be exactly the holes in its clock).  Every
``--command-interval`` seconds the script runs the next command of a fixed
rotation (none of them changes the stream) and checks its answer.  The
resident set size is sampled every second; after ``--warmup`` seconds it
must stay within ``--max-growth-kib`` of its level at the end of the
warm-up.  Prints the figures; the exit code is 1 if any check failed.
"""

import argparse
import os
import resource
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

import vyre_client  # noqa: E402
from vyre_tools.sim import Simulator  # noqa: E402

NEUTRAL = ([0.0] * 3, [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0])
DEVICE_ID = 0x5659_5245_50A4_0001
NAME = "SOAK-SIM"


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def rotation(client, timeout):
    """(name, call, check of the answer) for each command, in turn."""
    return [
        (
            "get_device_info",
            lambda: client.get_device_info(timeout),
            lambda r: r is not None and r.id == DEVICE_ID,
        ),
        (
            "get_device_config",
            lambda: client.get_device_config(timeout),
            lambda r: r is not None and r.name == NAME,
        ),
        (
            "get_calibration",
            lambda: client.get_calibration(timeout),
            lambda r: r is not None and r.magnetometer_scale_matrix == NEUTRAL[1],
        ),
        (
            "set_imu_calibration",
            lambda: client.set_imu_calibration(*NEUTRAL, *NEUTRAL, timeout),
            lambda r: r is True,
        ),
        (
            "set_magnetometer_calibration",
            lambda: client.set_magnetometer_calibration(*NEUTRAL, timeout),
            lambda r: r is True,
        ),
        ("cancel", lambda: client.cancel(timeout), lambda r: r is True),
    ]


class Stream:
    """Follows the timestamps without keeping the packets."""

    def __init__(self, rate):
        self.rate = rate
        self.count = 0
        self.last = None
        self.holes = 0  # places where the device clock skips frames
        self.skipped = 0  # frames those holes account for
        self.backwards = 0  # repeated or reordered packets

    def take(self, packets):
        for packet in packets:
            t = packet.timestamp_seconds
            if self.last is not None:
                frames = round((t - self.last) * self.rate)
                if frames <= 0:
                    self.backwards += 1
                elif frames > 1:
                    self.holes += 1
                    self.skipped += frames - 1
            self.last = t
            self.count += 1


def soak(args):
    failures = []
    with Simulator.spawn(rate=args.rate, device_id=DEVICE_ID, name=NAME) as device:
        client = vyre_client.VYREClient(device.port_name)
        # from here on the client receives exactly what the device counts
        device.reset_counters(discard_output=True)
        client.start()
        stream = Stream(args.rate)
        commands = rotation(client, args.command_timeout)
        sent = answered = 0
        slowest = 0.0
        unanswered = {}
        begin = time.monotonic()
        cpu_begin = time.process_time()
        next_command = begin + args.command_interval
        next_sample = begin + 1.0
        warm = begin + args.warmup
        baseline = None
        samples = []
        end = begin + args.seconds
        while (now := time.monotonic()) < end:
            stream.take(client.get_data_packets())
            if now >= next_command:
                name, call, check = commands[sent % len(commands)]
                started = time.monotonic()
                result = call()
                slowest = max(slowest, time.monotonic() - started)
                sent += 1
                if check(result):
                    answered += 1
                else:
                    unanswered[name] = unanswered.get(name, 0) + 1
                next_command += args.command_interval
            if now >= next_sample:
                if now >= warm:
                    if baseline is None:
                        baseline = rss_bytes()
                    samples.append(rss_bytes())
                next_sample += 1.0
            time.sleep(0.01)
        wall = time.monotonic() - begin
        cpu = time.process_time() - cpu_begin

        device.set_rate(0)
        status = device.wait_status(lambda s: s["pending_output_bytes"] == 0, timeout=60)
        deadline = time.monotonic() + 60
        while stream.count < status["telemetry_sent"] and time.monotonic() < deadline:
            stream.take(client.get_data_packets())
            time.sleep(0.01)
        time.sleep(0.3)  # anything beyond the count would be a duplicate
        stream.take(client.get_data_packets())
        status = device.status()
        try:
            client.ensure_ok()
        except OSError as error:
            failures.append(f"background error: {error}")
        client.stop()

    growth = (max(samples) - baseline) if samples else 0
    final_growth = (samples[-1] - baseline) if samples else 0
    lost = status["telemetry_sent"] - stream.count
    dropped = status["telemetry_dropped"]
    print(f"soak: {wall:.1f} s at {args.rate:g} frames/s (warm-up {args.warmup:g} s)")
    print(
        f"  telemetry: device sent {status['telemetry_sent']} ({status['telemetry_sent'] / wall:.0f}/s), "
        f"client received {stream.count}: lost {lost}, repeated or reordered {stream.backwards}"
    )
    if dropped or stream.skipped:
        # frames the device never sent: it was starved of CPU for more than a second's
        # worth of frames, or its unsent output filled up while the client was starved
        print(
            f"  device-side drops: {dropped} frames never sent; the device clock skips "
            f"{stream.skipped} frames in {stream.holes} places"
        )
    print(
        f"  commands: {sent} sent, {answered} answered correctly, slowest {slowest * 1e3:.1f} ms"
        + (f", unanswered {unanswered}" if unanswered else "")
    )
    if samples:
        print(
            f"  RSS: {baseline / 2**20:.2f} MiB after warm-up, {samples[-1] / 2**20:.2f} MiB at the end, "
            f"largest growth {growth / 1024:.0f} KiB (end {final_growth / 1024:.0f} KiB) over "
            f"{len(samples)} samples"
        )
    print(f"  CPU of this process (reader thread and the script's loop): {100 * cpu / wall:.1f}% of one core")

    if lost or stream.backwards:
        failures.append("packets lost, repeated or reordered")
    if stream.skipped != dropped:
        failures.append(f"the device clock skips {stream.skipped} frames but the device dropped {dropped}")
    if status["telemetry_sent"] < 0.8 * args.rate * wall:
        failures.append("the device did not keep up the rate; the run proves little")
    if sent == 0 or answered != sent:
        failures.append("not every command was answered")
    if not samples:
        failures.append("no memory sample after the warm-up")
    elif growth >= args.max_growth_kib * 1024:
        failures.append(f"resident memory grew by {growth / 1024:.0f} KiB after the warm-up")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=600.0, help="length of the run (default 600)")
    parser.add_argument("--rate", type=float, default=2300.0, help="telemetry frames/s (default 2300)")
    parser.add_argument(
        "--warmup",
        type=float,
        default=None,
        help="seconds before the memory baseline (default: a tenth of the run, 5 to 60)",
    )
    parser.add_argument("--command-interval", type=float, default=1.0, help="seconds between commands")
    parser.add_argument("--command-timeout", type=float, default=5.0, help="time-out of each command")
    parser.add_argument(
        "--max-growth-kib",
        type=float,
        default=1024.0,
        help="allowed RSS growth after the warm-up (default 1024 KiB)",
    )
    args = parser.parse_args()
    if args.warmup is None:
        args.warmup = min(60.0, max(5.0, args.seconds / 10))
    failures = soak(args)
    for failure in failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
