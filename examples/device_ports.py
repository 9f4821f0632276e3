"""What every example takes on its command line: serial ports, or ``--sim``
for simulated devices started in this process, and ``--seconds`` to end by
itself."""

import argparse
import contextlib


def parse(description, devices=1, extra=()):
    """The arguments; `extra` adds (flags, settings) of a program's own."""
    parser = argparse.ArgumentParser(description=description)
    for flags, settings in extra:
        parser.add_argument(*flags, **settings)
    parser.add_argument(
        "ports",
        nargs="*",
        metavar="PORT",
        help=f"serial port(s) of {devices} device(s), e.g. /dev/ttyACM0",
    )
    parser.add_argument(
        "--sim",
        action="store_true",
        help="start simulated devices in this process instead",
    )
    parser.add_argument(
        "--seconds",
        type=float,
        default=None,
        help="stop after this long (default: run until Ctrl-C)",
    )
    args = parser.parse_args()
    if args.sim == bool(args.ports) or (args.ports and len(args.ports) != devices):
        parser.error(f"give {devices} port(s) or --sim")
    return args


@contextlib.contextmanager
def ports(args, devices=1, rate=200.0):
    """The port names to open: the ones given, or those of simulators that run
    for the length of the block."""
    if not args.sim:
        yield list(args.ports)
        return
    from vyre_tools.sim import Simulator

    with contextlib.ExitStack() as stack:
        sims = [stack.enter_context(Simulator(rate=rate)) for _ in range(devices)]
        yield [sim.port_name for sim in sims]
