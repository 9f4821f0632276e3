"""vyre align: the devices of a recording on one timeline, by a motion they
all felt."""

import argparse

from .. import recording
from ..procedures.alignment import AlignmentError, align_recording
from ..recording.devices import device_names
from .connection import positive_float
from .errors import CliError


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    p = sub.add_parser(
        "align",
        help="put the devices of a recording on one timeline",
        description="Align the devices of a recording made with 'vyre stream -p A "
        "-p B --record' by a motion they all felt (held together and "
        "shaken, or tapped a few times): prints each device's offset "
        "against the reference device, its uncertainty and the "
        "correlation's quality, and writes an aligned copy, each "
        "device's synced times moved onto the reference's timeline and "
        "the offsets in its metadata. When a device cannot be aligned "
        "(the motion too weak, the devices not held together, a periodic "
        "motion), says why and writes nothing.",
    )
    p.add_argument("source", metavar="FILE", help="recording of several devices")
    p.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="aligned copy to write, any format by its suffix (default: FILE's "
        "name with -aligned before the suffix)",
    )
    p.add_argument(
        "--reference",
        type=int,
        default=0,
        metavar="N",
        help="the device whose timeline the others are moved onto (default 0, the first)",
    )
    p.add_argument(
        "--max-lag",
        type=positive_float,
        default=0.25,
        metavar="SECONDS",
        help="largest offset searched either way (default 0.25)",
    )
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    try:
        alignment, written = align_recording(args.source, args.output, args.reference, args.max_lag)
    except (AlignmentError, recording.RecordingError) as e:
        raise CliError(str(e)) from None
    names = device_names(recording.read_metadata(args.source), len(alignment.devices))
    for d in alignment.devices:
        label = f"device {d.device} ({names[d.device]})"
        if d.device == alignment.reference:
            print(f"{label}: the reference")
        elif d.aligned:
            print(
                f"{label}: offset {d.offset_seconds * 1e3:+.3f} ms "
                f"± {d.uncertainty_seconds * 1e3:.3f} ms, quality {d.quality:.3f}"
            )
        else:
            print(f"{label}: not aligned: {d.refusal}")
    if written is None:
        refused = [d.device for d in alignment.devices if not d.aligned]
        raise CliError(
            f"{args.source}: device{'s' if len(refused) > 1 else ''} "
            f"{', '.join(map(str, refused))} could not be aligned; nothing was written"
        )
    print(f"wrote {written}: synced times on device {alignment.reference}'s timeline")
    return 0
