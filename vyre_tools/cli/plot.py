"""vyre plot: the channels of a recording made with ``vyre stream --record``
against time: what the device measured (acceleration, angular rate,
magnetic field, pressure, temperature) and what it and the host derived
(altitude, vertical velocity, rotated acceleration, tilt, Mach number)."""

import argparse
import os
from typing import TYPE_CHECKING, Any

from .. import recording
from .errors import CliError
from .plotting import (
    PANELS,
    columns_of,
    no_window_reason,
    recording_figure,
    require_matplotlib,
    show_recording,
)

if TYPE_CHECKING:
    import numpy as np


def channel_list(text: str) -> list[str]:
    """``--channels``: panel names separated by commas, each once, in the order given."""
    names = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in names if name not in PANELS]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"{', '.join(unknown) or 'none given'}: choose among {', '.join(PANELS)}"
        )
    return list(dict.fromkeys(names))


def read_recording(
    path: str, device: int = 0, panels: "list[str] | tuple[str, ...]" = tuple(PANELS)
) -> "dict[str, np.ndarray[Any, np.dtype[np.float64]]]":
    """The columns of a recording (any format 'vyre stream --record' writes)
    that ``panels`` draw, as float64 arrays; of a recording of several
    devices, those of ``device``."""
    import numpy as np

    try:
        parts = recording.split(recording.read(path))
    except recording.RecordingError as e:
        raise CliError(str(e)) from None
    if not 0 <= device < len(parts):
        raise CliError(f"{path} holds {len(parts)} device{'s' if len(parts) > 1 else ''}: no device {device}")
    rows = parts[device]
    if not len(rows):
        raise CliError(f"{path} holds no samples")
    columns = {name: rows[name].astype(np.float64) for name in columns_of(panels)}
    if not np.isfinite(columns["timestamp_seconds"]).all():
        raise CliError(f"{path}: timestamps must be finite numbers")
    return columns


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    p = sub.add_parser(
        "plot",
        help="plot a telemetry recording",
        description="Plot the channels of a recording against time: what the device "
        "measured and what it derived. Recordings: " + ", ".join(recording.FORMATS) + ".",
    )
    p.add_argument("csv", metavar="RECORDING", help="recording from 'vyre stream --record'")
    p.add_argument(
        "-o", "--output", metavar="FILE.png", help="image to write (without it, the plot opens in a window)"
    )
    p.add_argument(
        "--device",
        type=int,
        default=0,
        metavar="N",
        help="of a recording of several devices, the one to plot (default 0, the first)",
    )
    p.add_argument(
        "--channels",
        type=channel_list,
        default=list(PANELS),
        metavar="NAMES",
        help="the panels to draw, separated by commas, in that order (default: all): " + ", ".join(PANELS),
    )
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    if args.output is None and (reason := no_window_reason()):
        raise CliError(f"cannot open a plot window: {reason}; write an image with -o FILE.png")
    import matplotlib  # noqa: F401  (missing: say so before reading anything)

    columns = read_recording(args.csv, args.device, args.channels)
    n = len(columns["timestamp_seconds"])
    span = columns["timestamp_seconds"][-1] - columns["timestamp_seconds"][0]
    meta = recording.read_metadata(args.csv)
    devices = meta.get("devices")
    if isinstance(devices, list) and args.device < len(devices) and isinstance(devices[args.device], dict):
        meta = {**{k: v for k, v in meta.items() if k != "devices"}, **devices[args.device]}
    title = os.path.basename(args.csv)
    if meta.get("device_id"):
        title += f" - device {meta['device_id']}, started {meta.get('start_time', '?')}"
    print(f"source: {recording.metadata.summary(meta)}")
    if args.output is None:
        print(f"plotting {n} samples ({span:.2f} s) from {args.csv} in a window; close it to end", flush=True)
        show_recording(columns, title, args.channels)
        return 0
    require_matplotlib()
    written = recording_figure(columns, args.output, title=title, panels=args.channels)
    print(f"plotted {n} samples ({span:.2f} s) from {args.csv} to {written}")
    print(f"panels: {', '.join(args.channels)}")
    return 0
