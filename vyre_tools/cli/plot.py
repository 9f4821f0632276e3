"""vyre plot: altitude, vertical velocity, acceleration, tilt and Mach
number against time, from a recording made with ``vyre stream --record``."""

import csv
import math
import os

from .errors import CliError
from .plotting import recording_figure, require_matplotlib

NEEDED = ("timestamp_seconds", "est_position_z_meters", "est_velocity_z_meters_per_s",
          "raw_rotated_acceleration_x_gs", "raw_rotated_acceleration_y_gs",
          "raw_rotated_acceleration_z_gs", "est_tilt_angle_degrees", "est_mach_number")


def read_recording(path):
    """The needed columns of a recording as lists of floats."""
    try:
        with open(path, newline="") as f:
            reader = csv.reader(f)
            header = next(reader, None)
            if header is None:
                raise CliError(f"{path} is empty")
            missing = [name for name in NEEDED if name not in header]
            if missing:
                raise CliError(f"{path} is not a telemetry recording: no column "
                               + ", ".join(missing))
            index = [header.index(name) for name in NEEDED]
            columns = {name: [] for name in NEEDED}
            lists = [columns[name] for name in NEEDED]
            for row in reader:
                if not row:
                    continue
                try:
                    values = [float(row[i]) for i in index]
                except (ValueError, IndexError):
                    raise CliError(f"{path} line {reader.line_num}: not a row of numbers") from None
                for target, value in zip(lists, values):
                    target.append(value)
    except OSError as e:
        raise CliError(f"cannot read {path}: {e.strerror or e}") from None
    except UnicodeDecodeError:
        raise CliError(f"{path} is not a text file") from None
    except csv.Error as e:
        raise CliError(f"{path}: {e}") from None
    if not columns["timestamp_seconds"]:
        raise CliError(f"{path} holds no samples")
    if not all(math.isfinite(t) for t in columns["timestamp_seconds"]):
        raise CliError(f"{path}: timestamps must be finite numbers")
    return columns


def add_parser(sub):
    p = sub.add_parser("plot", help="plot a telemetry recording",
                       description="Plot altitude, vertical velocity, acceleration, tilt and "
                                   "Mach number against time from a CSV recording.")
    p.add_argument("csv", metavar="FILE.csv", help="recording from 'vyre stream --record'")
    p.add_argument("-o", "--output", required=True, metavar="FILE.png", help="image to write")
    p.set_defaults(run=run)


def run(args):
    require_matplotlib()  # missing: say so before reading anything
    columns = read_recording(args.csv)
    recording_figure(columns, args.output, title=os.path.basename(args.csv))
    n = len(columns["timestamp_seconds"])
    span = columns["timestamp_seconds"][-1] - columns["timestamp_seconds"][0]
    print(f"plotted {n} samples ({span:.2f} s) from {args.csv} to {args.output}")
    return 0
