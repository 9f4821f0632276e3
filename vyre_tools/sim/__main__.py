"""python -m vyre_tools.sim: run a simulated device until interrupted.

The first line printed is the port path to give the client.  With
``--control`` the process also answers JSON requests on standard input
(see vyre_tools.sim.control); that is how Simulator.spawn drives it.
"""

import argparse
import os
import signal
import sys
import threading
from collections.abc import Sequence
from types import FrameType

from . import control
from .device import Simulator
from .options import add_arguments


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m vyre_tools.sim",
        description="Simulated VYRE device on a pseudo-terminal. Prints the port "
        "path on its first line and runs until interrupted.",
    )
    add_arguments(parser)
    parser.add_argument(
        "--control",
        action="store_true",
        help="answer JSON requests on standard input (used by Simulator.spawn)",
    )
    args = vars(parser.parse_args(argv))
    use_control = args.pop("control")

    stop = threading.Event()

    def on_signal(signum: int, frame: FrameType | None) -> None:
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    try:
        sim = Simulator(**args)
    except (OSError, ValueError, TypeError) as e:
        print(f"vyre_tools.sim: {e}", file=sys.stderr)
        return 2
    server: threading.Thread | None = None
    parent = os.getppid()
    try:
        print(sim.port_name, flush=True)
        if use_control:
            server = control.serve(sim, sys.stdin, sys.stdout, stop)
        else:
            print(
                f"simulated device on {sim.port_name} (stable link {sim.link_path}); Ctrl-C stops it",
                file=sys.stderr,
            )
        # wake now and then: a handler only runs between bytecodes.  A parent
        # that drives us and is gone (a child it forked may keep our standard
        # input open) ends us too.
        while not stop.wait(0.5):
            if use_control and os.getppid() != parent:
                break
    finally:
        sim.close()
    if server is not None:
        # the control thread is blocked reading stdin when a signal stopped
        # us; it is a daemon thread, and the process is about to end
        server.join(0.2)
    if not use_control:
        s = sim.status()
        print(
            f"sent {s['telemetry_sent']} telemetry frames, {s['responses_sent']} responses; "
            f"received {sum(s['commands_by_id'].values())} commands, "
            f"{s['mock_records']} mock records",
            file=sys.stderr,
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
