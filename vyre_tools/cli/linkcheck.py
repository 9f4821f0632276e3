"""vyre link-check: is this link good enough to rely on?

Streams for a set time while asking the device for its identity every
``PING_SECONDS``, and weighs what came: the packet rate against the
device's configured frequency, frames that failed the CRC check, packets
missing by the device's timestamps, command round trips.  The verdict is
bad when any of them is past its limit; the exit status says so.
"""

import argparse
import math
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from .connection import Device, add_device_arguments, open_device, positive_float
from .errors import EXIT_INTERRUPTED, CliError
from .interrupts import stop_on_interrupt
from ..latency_timer import latency_timer
from ..procedures.formatting import drift
from ..procedures.telemetry_stats import GapCounter
from .stream import POLL_SECONDS, REFRESH_SECONDS

if TYPE_CHECKING:
    import numpy as np
    from rich.console import Group

    from .console import Ui
    from .interrupts import StopRequest

DEFAULT_SECONDS = 10.0
PING_SECONDS = 0.2
MIN_RATE_SHARE = 0.95  # of the configured frequency
MAX_CRC_SHARE = 0.01  # of the frames that arrived whole
MAX_MISSING_SHARE = 0.01  # of the packets the device's timestamps say it sent
MAX_ROUND_TRIP = 0.5  # seconds, 99th percentile

# link_statistics() keys in the order the live view lists them
COUNTERS = (
    "bytes_received",
    "telemetry_frames",
    "response_frames",
    "crc_rejected",
    "length_rejected",
    "given_up",
    "short_frames",
    "unknown_responses",
    "noise_bytes",
    "answers_dropped",
    "read_errors",
)


def percentile(values: Sequence[float], p: float) -> float | None:
    """Nearest-rank percentile of ``values`` (sorted or not); None for none."""
    if not values:
        return None
    ordered = sorted(values)
    return ordered[max(0, math.ceil(p / 100 * len(ordered)) - 1)]


@dataclass
class LinkCheck:
    """What the check saw so far, and how it weighs it."""

    frequency: int | None  # the device's configured telemetry frequency
    stats: GapCounter
    seconds: float = 0.0
    link: dict[str, int] = field(default_factory=dict)  # link_statistics() since the start
    round_trips: list[float] = field(default_factory=list)  # seconds, of answered requests
    unanswered: int = 0
    failure: str | None = None
    first_read: tuple[float, int] | None = None  # (host time, packets) of the first read that brought any
    last_read: float | None = None  # host time of the latest such read
    sync: dict[str, bool | float | int] = field(default_factory=dict)  # the client's clock_sync()

    def add(self, packets: "np.ndarray[Any, np.dtype[np.void]]", now: float) -> None:
        self.stats.add(packets)
        if len(packets):
            host = packets["host_time_seconds"]
            if self.first_read is None:
                self.first_read = (host[0], int((host == host[0]).sum()))
            self.last_read = host[-1]

    @property
    def rate(self) -> float:
        """Packets per second by the host's receive times, from the first
        read that brought packets to the last: what the link delivered, not
        how late this process got round to looking."""
        if self.first_read is None or self.last_read is None or not self.last_read > self.first_read[0]:
            return 0.0
        return (self.stats.packets - self.first_read[1]) / (self.last_read - self.first_read[0])

    @property
    def whole_frames(self) -> int:
        """Frames that arrived whole, good or not."""
        return sum(
            self.link.get(k, 0)
            for k in (
                "telemetry_frames",
                "response_frames",
                "short_frames",
                "unknown_responses",
                "crc_rejected",
            )
        )

    @property
    def crc_share(self) -> float:
        return self.link.get("crc_rejected", 0) / self.whole_frames if self.whole_frames else 0.0

    @property
    def missing_share(self) -> float:
        sent = self.stats.packets + self.stats.missing
        return self.stats.missing / sent if sent else 0.0

    def checks(self) -> list[tuple[str, bool, str]]:
        """(what, passed, how much) for each criterion that applies."""
        out = [("link up", self.failure is None, self.failure or "no read errors")]
        if self.frequency:
            share = self.rate / self.frequency
            out.append(
                (
                    "packet rate",
                    share >= MIN_RATE_SHARE,
                    f"{self.rate:.1f}/s of {self.frequency} Hz configured ({100 * share:.1f} %, "
                    f"at least {100 * MIN_RATE_SHARE:g} %)",
                )
            )
        if 0 < self.stats.period < math.inf:  # configured, or settled from the timestamps
            out.append(
                (
                    "packets missing",
                    self.missing_share <= MAX_MISSING_SHARE,
                    f"{self.stats.missing} in {self.stats.gaps} gaps "
                    f"({100 * self.missing_share:.2f} %, at most {100 * MAX_MISSING_SHARE:g} %)",
                )
            )
        out.append(
            (
                "CRC failures",
                self.crc_share <= MAX_CRC_SHARE,
                f"{self.link.get('crc_rejected', 0)} of {self.whole_frames} frames "
                f"({100 * self.crc_share:.2f} %, at most {100 * MAX_CRC_SHARE:g} %)",
            )
        )
        p50, p99 = percentile(self.round_trips, 50), percentile(self.round_trips, 99)
        answered = len(self.round_trips)
        out.append(
            (
                "command round trips",
                p99 is not None and not self.unanswered and p99 <= MAX_ROUND_TRIP,
                f"{answered} of {answered + self.unanswered} answered"
                + (
                    f", p50 {1000 * p50:.1f} ms, "
                    f"p99 {1000 * p99:.1f} ms (at most {1000 * MAX_ROUND_TRIP:g} ms)"
                    if p50 is not None and p99 is not None
                    else ""
                ),
            )
        )
        return out

    def good(self) -> bool:
        return all(passed for _, passed, _ in self.checks())


def clock_text(sync: Mapping[str, bool | float | int]) -> str:
    """The device clock against the host's, from ``clock_sync()``: one line."""
    if not sync.get("synced"):
        return f"device clock: not synced yet ({sync.get('resets', 0)} resets)"
    return (
        f"device clock: drift {drift(sync)}, jitter "
        f"{1e6 * sync['jitter_seconds']:.0f} us (p99), {sync['resets']} resets"
    )


def view(port: str, check: LinkCheck, total: float, final: bool = False) -> "Group":
    from rich.console import Group, RenderableType
    from rich.table import Table
    from rich.text import Text

    head = Text.assemble(
        ("VYRE link check ", "bold"), (port, "cyan"), f"  {check.seconds:.1f} of {total:g} s"
    )
    verdicts = Table(show_edge=False, pad_edge=False, box=None, show_header=False)
    verdicts.add_column(style="bold")
    verdicts.add_column()
    verdicts.add_column()
    for what, passed, text in check.checks():
        verdicts.add_row(what, Text("ok" if passed else "BAD", "green" if passed else "red bold"), text)
    counters = Table(
        show_edge=False,
        pad_edge=False,
        box=None,
        title="link statistics",
        title_justify="left",
        title_style="italic dim",
    )
    counters.add_column("", style="dim")
    counters.add_column("count", justify="right")
    for key in COUNTERS:
        counters.add_row(key.replace("_", " "), str(check.link.get(key, 0)))
    parts: list[RenderableType] = [head, verdicts, Text(clock_text(check.sync)), counters]
    if final:
        good = check.good()
        parts.append(Text(f"verdict: {'good' if good else 'bad'} link", "bold green" if good else "bold red"))
    return Group(*parts)


def run_check(ui: "Ui", device: Device, seconds: float, stop: "StopRequest | None" = None) -> LinkCheck:
    """Measure the link for ``seconds`` (or until ``stop``); the LinkCheck."""
    client, timeout = device.client, device.timeout
    config = client.get_device_config(timeout_seconds=timeout)
    frequency = config.frequency if config is not None else None
    if config is None:
        ui.note("the device did not report its configuration: the packet rate is not weighed")
    check = LinkCheck(frequency, GapCounter(frequency))
    timer = latency_timer(device.port)
    if timer is not None:
        ui.note(f"{device.port}: {timer.describe()}")
    client.get_data_array()  # what queued before the start is not the link's rate
    before = client.link_statistics()
    start = time.monotonic()
    next_ping = next_refresh = start

    def poll(now: float) -> None:
        check.add(client.get_data_array(), now)

    def ping() -> None:
        sent = time.perf_counter()
        if client.get_device_info(timeout_seconds=timeout) is None:
            check.unanswered += 1
        else:
            check.round_trips.append(time.perf_counter() - sent)

    def measure(now: float) -> None:
        check.seconds = now - start
        check.link = {k: v - before[k] for k, v in client.link_statistics().items()}
        check.sync = client.clock_sync()

    with ui.live(view(device.port, check, seconds)) as live:
        try:
            while True:
                now = time.monotonic()
                poll(now)
                if now >= start + seconds or (stop is not None and stop.requested):
                    break
                if now >= next_ping:
                    ping()
                    next_ping = now + PING_SECONDS
                if now >= next_refresh:
                    measure(now)
                    live.update(view(device.port, check, seconds), refresh=True)
                    next_refresh = now + REFRESH_SECONDS
                time.sleep(POLL_SECONDS)
        except OSError as e:
            check.failure = f"the link to {device.port} failed: {e}"
        check.stats.finish()
        measure(time.monotonic())
        live.update(view(device.port, check, seconds, final=True), refresh=True)
    return check


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    p = sub.add_parser(
        "link-check",
        help="measure the link and give a verdict",
        description="Stream for a while and weigh the link: packets per second against the "
        "device's configured frequency (at least "
        f"{100 * MIN_RATE_SHARE:g} %), frames failing the CRC check (at most "
        f"{100 * MAX_CRC_SHARE:g} %), packets missing by the device's timestamps "
        f"(at most {100 * MAX_MISSING_SHARE:g} %), and the round trips of device-info "
        f"requests sent every {PING_SECONDS:g} s (all answered, 99th percentile at "
        f"most {1000 * MAX_ROUND_TRIP:g} ms). Exit status 1 on a bad link.",
    )
    # -d/--duration as on the other commands; -s/--seconds stays for scripts
    p.add_argument(
        "-d",
        "--duration",
        "-s",
        "--seconds",
        dest="seconds",
        type=positive_float,
        default=DEFAULT_SECONDS,
        metavar="SECONDS",
        help=f"how long to measure (default {DEFAULT_SECONDS:g})",
    )
    add_device_arguments(p)
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from .console import Ui

    ui = Ui()
    with stop_on_interrupt() as stop, open_device(args, ui) as device:
        check = run_check(ui, device, args.seconds, stop)
    if stop.requested:
        ui.note("stopped by Ctrl-C")
        return EXIT_INTERRUPTED
    if not check.good():
        bad = "; ".join(f"{what}: {text}" for what, passed, text in check.checks() if not passed)
        raise CliError(f"bad link on {device.port}: {bad}")
    return 0
