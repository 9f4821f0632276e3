"""vyre convert: a recording into another format, value for value."""

import argparse

from .. import recording
from .errors import CliError
from .stream import add_mcap_profile_arguments, check_mcap_profile


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    formats = ", ".join(recording.FORMATS)
    p = sub.add_parser(
        "convert",
        help="convert a recording to another format",
        description="Convert a recording made with 'vyre stream --record' into "
        f"another format ({formats}), chosen by the suffix of OUT. "
        "Every value keeps its precision (float32 stays float32), and "
        "what the recording came from (device, configuration, units, "
        "start time) goes along.",
    )
    p.add_argument("source", metavar="IN", help="recording to read")
    p.add_argument("target", metavar="OUT", help="recording to write (replaced if it exists)")
    add_mcap_profile_arguments(p)
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    check_mcap_profile(args, args.target)
    try:
        rows = recording.convert(
            args.source, args.target, mcap_profile=args.mcap_profile, frame_id=args.frame_id
        )
    except recording.RecordingError as e:
        raise CliError(str(e)) from None
    print(f"converted {rows} rows from {args.source} to {args.target}")
    return 0
