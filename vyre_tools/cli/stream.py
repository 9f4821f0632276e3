"""vyre stream: live telemetry, optionally recorded (CSV, Parquet, NPZ or MCAP)."""

import argparse
import os
import time
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING

from .connection import Device, add_device_arguments, open_device, positive_float
from .errors import EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_USAGE, CliError
from .interrupts import stop_on_interrupt
from ..procedures.formatting import drift, num
from ..procedures.telemetry_stats import GapCounter, RateMeter
from ..recording import FORMATS, RecordingError, format_of, open_writer, packet_dtype

if TYPE_CHECKING:
    import numpy as np
    from rich.console import Group
    from vyre_client import DeviceConfig

    from ..recording.writer import Writer
    from .console import Ui
    from .interrupts import StopRequest

POLL_SECONDS = 0.02
REFRESH_SECONDS = 0.25


def open_recording(
    path: str,
    device: Device | None = None,
    config: "DeviceConfig | None" = None,
    mcap_profile: str = "json",
    frame_id: str | None = None,
) -> "Writer":
    """The recording's writer; with ``device``, what the recording comes from
    goes into it too (its identity asked for here, its ``config`` as read);
    ``mcap_profile`` and ``frame_id`` as ``open_writer`` takes them."""
    dtype = packet_dtype()
    meta = None
    if device is not None:
        from ..recording import describe_source

        info = device.client.get_device_info(timeout_seconds=device.timeout)
        meta = describe_source(dtype.names or (), info, config)
    try:
        return open_writer(path, dtype, meta, mcap_profile=mcap_profile, frame_id=frame_id)
    except RecordingError as e:
        raise CliError(str(e)) from None


def add_mcap_profile_arguments(p: argparse.ArgumentParser) -> None:
    """--mcap-profile and --frame-id, for commands that write recordings."""
    p.add_argument(
        "--mcap-profile",
        choices=("json", "ros2"),
        default="json",
        help="how an .mcap recording holds the packets: json (default), one JSON message per "
        "packet; ros2, ROS 2 messages (sensor_msgs Imu, MagneticField, FluidPressure, "
        "Temperature, and the whole packet) in CDR with their definitions (the bridges extra "
        "not needed to write)",
    )
    p.add_argument(
        "--frame-id",
        metavar="NAME",
        help="frame id in the headers of ROS 2 messages (default vyre_imu)",
    )


def check_mcap_profile(args: argparse.Namespace, path: str | None, frame_id_used: bool = False) -> None:
    """A usage error for a ROS 2 option where it does not apply
    (``frame_id_used``: the command takes --frame-id for more than ROS 2 messages)."""
    stray_frame_id = args.frame_id is not None and not frame_id_used
    if path is None:
        if args.mcap_profile != "json" or stray_frame_id:
            raise CliError("--mcap-profile and --frame-id are for a recording: add --record FILE", EXIT_USAGE)
        return
    if args.mcap_profile == "ros2" and not path.lower().endswith(".mcap"):
        raise CliError(f"{path}: --mcap-profile ros2 is for .mcap recordings", EXIT_USAGE)
    if stray_frame_id and args.mcap_profile != "ros2":
        raise CliError("--frame-id is for ROS 2 messages: add --mcap-profile ros2", EXIT_USAGE)


def recording_path(text: str) -> str:
    """A recording's path whose suffix names a format, checked at once."""
    try:
        format_of(text)
    except RecordingError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    return text


@dataclass
class StreamResult:
    packets: int
    seconds: float
    rate: float
    gaps: int
    missing: int
    out_of_order: int
    nominal_rate: int | None
    recorded: int | None = None
    failure: str | None = None  # why the stream ended early
    link: dict[str, int] | None = None  # link_statistics() counted during the stream

    def nothing_text(self, port: str) -> str:
        """Why no packet came, for a stream that got none."""
        link = self.link or {}
        if not link.get("bytes_received"):
            return f"no telemetry arrived from {port} in {self.seconds:.1f} s"
        return (
            f"no telemetry came through from {port} in {self.seconds:.1f} s, though "
            f"{link['bytes_received']} bytes arrived: {link['crc_rejected']} frames failed "
            f"the CRC check, {link['length_rejected']} headers announced an impossible "
            f"length, {link['given_up']} frames were cut off, {link['short_frames']} were "
            f"too short to decode, {link['noise_bytes']} bytes were noise"
        )

    def summary(self) -> str:
        return (
            f"received {self.packets} packets in {self.seconds:.2f} s "
            f"({self.rate:.1f} packets/s); gaps {self.gaps} "
            f"({self.missing} packets missing); {self.out_of_order} out of order"
        )


# (label, unit, attribute names, decimals) of the live table
MEASURED: tuple[tuple[str, str, tuple[str, ...], int], ...] = (
    ("device time", "s", ("timestamp_seconds",), 3),
    ("temperature", "°C", ("temperature_celsius",), 2),
    ("pressure", "Pa", ("pressure_pascals",), 1),
    (
        "acceleration x y z",
        "g",
        ("raw_acceleration_x_gs", "raw_acceleration_y_gs", "raw_acceleration_z_gs"),
        3,
    ),
    (
        "angular rate x y z",
        "deg/s",
        ("raw_angular_rate_x_deg_per_s", "raw_angular_rate_y_deg_per_s", "raw_angular_rate_z_deg_per_s"),
        1,
    ),
    (
        "magnetic field x y z",
        "µT",
        ("magnetic_field_x_microteslas", "magnetic_field_y_microteslas", "magnetic_field_z_microteslas"),
        2,
    ),
    ("altitude (est.)", "m", ("est_position_z_meters",), 2),
    ("vertical velocity (est.)", "m/s", ("est_velocity_z_meters_per_s",), 3),
    (
        "quaternion w x y z",
        "",
        ("est_quaternion_w", "est_quaternion_x", "est_quaternion_y", "est_quaternion_z"),
        4,
    ),
)
DERIVED: tuple[tuple[str, str, tuple[str, ...], int], ...] = (
    (
        "rotated acceleration x y z",
        "g",
        ("raw_rotated_acceleration_x_gs", "raw_rotated_acceleration_y_gs", "raw_rotated_acceleration_z_gs"),
        3,
    ),
    ("tilt", "deg", ("est_tilt_angle_degrees",), 1),
    ("Mach number", "", ("est_mach_number",), 4),
)


def clock_head(sync: Mapping[str, bool | float | int] | None) -> str:
    """The sync state and drift of the device clock, for the view's head."""
    if not sync:
        return ""
    if not sync["synced"]:
        return "\nclock syncing"
    return f"\nclock synced, drift {drift(sync)}"


def view(
    port: str,
    stats: GapCounter,
    rate: float,
    latest: "np.void | None",
    elapsed: float,
    recorder: "Writer | None" = None,
    sync: Mapping[str, bool | float | int] | None = None,
) -> "Group":
    from rich.console import Group
    from rich.table import Table
    from rich.text import Text

    # two short lines rather than one that an 80-column terminal wraps
    head = Text.assemble(
        ("VYRE telemetry ", "bold"),
        (port, "cyan"),
        f"  {elapsed:.1f} s\n",
        f"{stats.packets} packets  ",
        (f"{rate:.1f}/s", "bold"),
        "  gaps ",
        (str(stats.gaps), "red" if stats.gaps else "green"),
        f" ({stats.missing} missing)",
        clock_head(sync),
    )
    if stats.out_of_order:
        head.append(f"  {stats.out_of_order} out of order", "red")
    if recorder is not None:
        head.append(f"\nrecording {recorder.rows} rows to {recorder.path}", "dim")
    table = Table(show_edge=False, pad_edge=False, box=None)
    table.add_column("", style="bold")
    table.add_column("value", justify="right")
    table.add_column("unit")
    if latest is None:
        table.add_row("waiting for telemetry…", "", "")
    else:
        for group, rows in (("from the device", MEASURED), ("derived on the host", DERIVED)):
            table.add_row(Text(group, style="italic dim"), "", "")
            for label, unit, names, decimals in rows:
                table.add_row(label, " ".join(num(latest[n], decimals).rjust(8) for n in names), unit)
    return Group(head, table)


def stream(
    ui: "Ui",
    device: Device,
    duration: float | None = None,
    record: str | None = None,
    stop: "StopRequest | None" = None,
    mcap_profile: str = "json",
    frame_id: str | None = None,
) -> StreamResult:
    """Show live telemetry until ``duration`` has passed or ``stop`` is
    requested; every packet goes to ``record`` (a recording's path, its
    suffix naming the format; an .mcap's ``mcap_profile`` and ``frame_id``
    as ``open_writer`` takes them) if given."""
    client = device.client
    config = client.get_device_config(timeout_seconds=device.timeout)
    nominal = config.frequency if config is not None else None
    if config is None:
        ui.note(
            "the device did not report its configuration; "
            "the telemetry period is estimated from the timestamps"
        )
    recorder = open_recording(record, device, config, mcap_profile, frame_id) if record else None
    # a device configured to 0 Hz sends nothing: the wait for it is no gap
    stats = GapCounter(nominal)
    arrivals = RateMeter()
    link_before = client.link_statistics()
    latest: "np.void | None" = None
    start = time.monotonic()
    end = None if duration is None else start + duration
    next_refresh = start

    failure: str | None = None

    def take(now: float) -> None:
        nonlocal latest, failure, start
        try:
            # one array a poll: recording it makes no object per packet
            packets = client.get_data_array()
        except OSError as e:
            # what arrived so far is still shown, counted and recorded
            failure = f"the link to {device.port} failed: {e}"
            return
        arrivals.add(len(packets), now)  # empty polls too: the rate counts from the first
        if len(packets):
            if latest is None:
                # packets queued while we set up (imports, the configuration
                # query) count from when the first of them arrived
                since_first = time.time() - float(packets["host_time_seconds"][0])
                start = min(start, now - max(since_first, 0.0))
            stats.add(packets)
            if recorder is not None and not failure:
                try:
                    recorder.write(packets)
                except RecordingError as e:  # a full disk: said once, the stream ends
                    failure = str(e)
            latest = packets[-1]

    try:
        with ui.live(view(device.port, stats, 0.0, None, 0.0, recorder)) as live:
            while True:
                now = time.monotonic()
                take(now)
                if failure or (stop is not None and stop.requested) or (end is not None and now >= end):
                    break
                if now >= next_refresh:
                    live.update(
                        view(
                            device.port,
                            stats,
                            arrivals.rate(now),
                            latest,
                            now - start,
                            recorder,
                            client.clock_sync(),
                        ),
                        refresh=True,
                    )
                    next_refresh = now + REFRESH_SECONDS
                time.sleep(POLL_SECONDS)
            now = time.monotonic()
            if not failure:
                take(now)
            stats.finish()
            live.update(
                view(
                    device.port, stats, arrivals.rate(now), latest, now - start, recorder, client.clock_sync()
                ),
                refresh=True,
            )
    finally:
        if recorder is not None:
            try:
                recorder.close()
            except RecordingError as e:
                failure = failure or str(e)
    seconds = now - start
    link = {k: v - link_before[k] for k, v in client.link_statistics().items()}
    result = StreamResult(
        stats.packets,
        seconds,
        stats.packets / seconds if seconds > 0 else 0.0,
        stats.gaps,
        stats.missing,
        stats.out_of_order,
        nominal,
        recorder.rows if recorder else None,
        failure,
        link,
    )
    return result


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    p = sub.add_parser(
        "stream",
        help="show live telemetry (and record it)",
        description="Show live telemetry: packets per second, gaps in the "
        "device timestamps, the latest values with units and the "
        "values derived on the host. Runs until Ctrl-C (or SIGTERM, "
        "SIGHUP: the recording is closed properly, the exit status is "
        "128 + the signal's number) or --duration. With several -p, every "
        "device at once, into one recording with a 'device' column.",
    )
    p.add_argument(
        "-d",
        "--duration",
        type=positive_float,
        metavar="SECONDS",
        help="stop after this many seconds (default: until Ctrl-C)",
    )
    p.add_argument(
        "-r",
        "--record",
        metavar="FILE",
        type=recording_path,
        help="write every packet, with its host receive time, to this file; its "
        "suffix chooses the format: " + ", ".join(FORMATS) + " (see 'vyre convert')",
    )
    p.add_argument(
        "--reconnect",
        action="store_true",
        help="when the device is unplugged, wait for the same device (even on "
        "another port), reopen it and carry on, reporting the gap",
    )
    add_mcap_profile_arguments(p)
    add_device_arguments(p, several=True)
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from .console import Ui

    check_mcap_profile(args, args.record)
    ui = Ui()
    ports = args.ports or []
    if len(ports) > 1:
        from . import stream_devices

        if args.mcap_profile == "ros2":
            # ROS 2 topics name one sensor; several devices share one table
            raise CliError("--mcap-profile ros2 records one device: give one --port", EXIT_USAGE)

        with stop_on_interrupt() as stop:
            return stream_devices.run(args, ports, stop, ui)
    args.port = ports[0] if ports else os.environ.get("VYRE_PORT") or None
    with stop_on_interrupt() as stop, open_device(args, ui, stop) as device:
        result = stream(ui, device, args.duration, args.record, stop, args.mcap_profile, args.frame_id)
    if getattr(device.client, "gave_up", False):
        raise CliError(f"stopped waiting for the device to come back; {result.summary()}", EXIT_INTERRUPTED)
    if stop.requested:
        ui.note(f"stopped by {stop.cause}")
    ui.line(result.summary())
    if result.recorded is not None:
        ui.line(f"recorded {result.recorded} packets to {args.record}")
    if result.failure:
        raise CliError(result.failure)
    status = stop.status if stop.requested else 0
    if result.packets == 0:
        raise CliError(result.nothing_text(device.port), status or EXIT_FAILURE)
    return status
