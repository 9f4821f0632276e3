"""vyre stream -p A -p B: several devices at once, on the host's timeline,
optionally into one recording (a ``device`` column, each device's identity
and configuration in the metadata)."""

import argparse
import contextlib
import math
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from .connection import Device, choose_port, connect
from .errors import EXIT_FAILURE, EXIT_USAGE, CliError
from .stream import POLL_SECONDS, REFRESH_SECONDS, StreamResult
from ..procedures.formatting import num
from ..procedures.telemetry_stats import GapCounter, RateMeter
from ..recording import RecordingError, describe_devices, devices_dtype, open_writer, tagged

if TYPE_CHECKING:
    import numpy as np
    from rich.console import Group

    from ..recording.writer import Writer
    from .console import Ui
    from .interrupts import StopRequest

GYRO = ("raw_angular_rate_x_deg_per_s", "raw_angular_rate_y_deg_per_s", "raw_angular_rate_z_deg_per_s")


@dataclass
class Feed:
    """One device of the session and what came from it."""

    device: Device
    stats: GapCounter
    arrivals: RateMeter = field(default_factory=RateMeter)
    latest: "np.void | None" = None
    link_before: dict[str, int] = field(default_factory=dict)


def open_recording(path: str, feeds: Sequence[Feed], configs: Sequence[object]) -> "Writer":
    sources = []
    for feed, config in zip(feeds, configs):
        d = feed.device
        sources.append((d.port, d.client.get_device_info(timeout_seconds=d.timeout), config))
    dtype = devices_dtype()
    try:
        return open_writer(path, dtype, describe_devices(dtype.names or (), sources))
    except RecordingError as e:
        raise CliError(str(e)) from None


def clock_text(sync: Mapping[str, bool | float | int] | None) -> str:
    if not sync:
        return "-"
    return f"synced {sync['drift_ppm']:+.1f} ppm" if sync["synced"] else "syncing"


def view(
    feeds: Sequence[Feed],
    now: float,
    elapsed: float,
    recorder: "Writer | None",
    syncs: Sequence[Mapping[str, bool | float | int] | None],
) -> "Group":
    from rich.console import Group
    from rich.table import Table
    from rich.text import Text

    head = Text.assemble(("VYRE telemetry ", "bold"), f"{len(feeds)} devices  {elapsed:.1f} s")
    if recorder is not None:
        head.append(f"\nrecording {recorder.rows} rows to {recorder.path}", "dim")
    table = Table(show_edge=False, pad_edge=False, box=None)
    for title, justify in (
        ("#", "right"),
        ("port", "left"),
        ("packets", "right"),
        ("rate", "right"),
        ("gaps", "right"),
        ("clock", "left"),
        ("|angular rate|", "right"),
    ):
        table.add_column(title, justify=justify)  # type: ignore[arg-type]
    for i, (feed, sync) in enumerate(zip(feeds, syncs)):
        s = feed.stats
        rate = "-"
        if feed.latest is not None:
            rate = num(math.sqrt(sum(float(feed.latest[n]) ** 2 for n in GYRO)), 1) + " deg/s"
        table.add_row(
            str(i),
            feed.device.port,
            str(s.packets),
            f"{feed.arrivals.rate(now):.1f}/s",
            Text(f"{s.gaps} ({s.missing})", style="red" if s.gaps else "green"),
            clock_text(sync),
            rate,
        )
    return Group(head, table)


def stream_devices(
    ui: "Ui",
    devices: Sequence[Device],
    duration: float | None = None,
    record: str | None = None,
    stop: "StopRequest | None" = None,
) -> tuple[list[StreamResult], int | None, str | None]:
    """Show the live telemetry of ``devices`` until ``duration`` has passed
    or ``stop`` is requested, every packet into ``record`` if given: each
    device's result, the rows recorded (None without a recording) and why
    the session ended early (None when it did not)."""
    configs = []
    feeds = []
    for d in devices:
        config = d.client.get_device_config(timeout_seconds=d.timeout)
        if config is None:
            ui.note(f"{d.port} did not report its configuration; its period is estimated from the timestamps")
        configs.append(config)
        feeds.append(Feed(d, GapCounter(config.frequency if config is not None else None)))
    recorder = open_recording(record, feeds, configs) if record else None
    for feed in feeds:
        feed.link_before = feed.device.client.link_statistics()
    start = time.monotonic()
    end = None if duration is None else start + duration
    next_refresh = start
    failure: str | None = None

    def take(now: float) -> None:
        nonlocal failure
        for index, feed in enumerate(feeds):
            try:
                packets = feed.device.client.get_data_array()
            except OSError as e:
                failure = failure or f"the link to {feed.device.port} failed: {e}"
                continue
            feed.arrivals.add(len(packets), now)
            if not len(packets):
                continue
            feed.stats.add(packets)
            feed.latest = packets[-1]
            if recorder is not None and not failure:
                try:
                    recorder.write(tagged(index, packets))
                except RecordingError as e:
                    failure = str(e)

    def syncs() -> list[Mapping[str, bool | float | int] | None]:
        return [f.device.client.clock_sync() for f in feeds]

    try:
        with ui.live(view(feeds, start, 0.0, recorder, [None] * len(feeds))) as live:
            while True:
                now = time.monotonic()
                take(now)
                if failure or (stop is not None and stop.requested) or (end is not None and now >= end):
                    break
                if now >= next_refresh:
                    live.update(view(feeds, now, now - start, recorder, syncs()), refresh=True)
                    next_refresh = now + REFRESH_SECONDS
                time.sleep(POLL_SECONDS)
            now = time.monotonic()
            if not failure:
                take(now)
            for feed in feeds:
                feed.stats.finish()
            live.update(view(feeds, now, now - start, recorder, syncs()), refresh=True)
    finally:
        if recorder is not None:
            try:
                recorder.close()
            except RecordingError as e:
                failure = failure or str(e)
    seconds = now - start
    results = []
    for feed, config in zip(feeds, configs):
        s = feed.stats
        link = {k: v - feed.link_before[k] for k, v in feed.device.client.link_statistics().items()}
        results.append(
            StreamResult(
                s.packets,
                seconds,
                s.packets / seconds if seconds > 0 else 0.0,
                s.gaps,
                s.missing,
                s.out_of_order,
                config.frequency if config is not None else None,
                None,
                None,
                link,
            )
        )
    return results, (recorder.rows if recorder else None), failure


def run(args: argparse.Namespace, ports: Sequence[str], stop: "StopRequest", ui: "Ui") -> int:
    """The stream of several devices: ``ports`` as given to -p."""
    if args.sim or args.sim_option:
        raise CliError("--sim starts one simulated device: give several with -p instead", EXIT_USAGE)
    if args.reconnect:
        raise CliError("--reconnect follows one device: give one -p with it", EXIT_USAGE)
    paths = [choose_port(p, args.baud) for p in ports]
    twice = {p for p in paths if paths.count(p) > 1}
    if twice:
        raise CliError(f"{', '.join(sorted(twice))} is named twice: each -p names another device", EXIT_USAGE)
    with contextlib.ExitStack() as stack:
        devices = []
        for path in paths:
            client = stack.enter_context(connect(path, args.baud))
            devices.append(Device(client, path, args.timeout))
        results, recorded, failure = stream_devices(ui, devices, args.duration, args.record, stop)
    if stop.requested:
        ui.note(f"stopped by {stop.cause}")
    for path, result in zip(paths, results):
        ui.line(f"{path}: {result.summary()}")
    if recorded is not None:
        ui.line(f"recorded {recorded} packets of {len(paths)} devices to {args.record}")
    if failure:
        raise CliError(failure)
    status = stop.status if stop.requested else 0
    silent = [(p, r) for p, r in zip(paths, results) if r.packets == 0]
    if silent:
        raise CliError("; ".join(r.nothing_text(p) for p, r in silent), status or EXIT_FAILURE)
    return status
