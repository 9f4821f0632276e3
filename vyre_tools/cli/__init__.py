"""The ``vyre`` command: everyday tools around the client library.

Each subcommand lives in its own module with ``add_parser(subparsers)`` and
``run(args) -> exit status``.  Whatever goes wrong reaches the user as one
line on standard error and a non-zero status, never as a traceback (set
VYRE_DEBUG=1 to see the traceback of an unexpected error).
"""

import argparse
import importlib
import os
import sys
from collections.abc import Sequence
from typing import Any

from .errors import EXIT_FAILURE, EXIT_INTERRUPTED, CliError, describe_os_error

# subcommand name -> module, in the order ``vyre --help`` lists them
COMMANDS = {
    "ports": "ports",
    "info": "info",
    "stream": "stream",
    "link-check": "linkcheck",
    "replay": "replay",
    "calibrate-mag": "calibrate",
    "calibrate-imu": "calibrate_imu",
    "calibration": "calibration",
    "config": "config",
    "plot": "plot",
    "convert": "convert",
    "bridge": "bridge",
    "align": "align",
    "noise": "noise",
    "demo": "demo",
    "ui": "webui",
}


class _Version(argparse.Action):
    """--version: the distribution's version and the module's own, read only
    when asked (the module is not imported to build the parser)."""

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: str | Sequence[Any] | None,
        option_string: str | None = None,
    ) -> None:
        import importlib.metadata

        try:
            import vyre_client

            module = f"vyre_client {vyre_client.__version__}"
        except ImportError as e:
            module = f"vyre_client not importable ({e})"
        try:
            tools = importlib.metadata.version("vyre-client")
        except importlib.metadata.PackageNotFoundError:
            tools = "(not installed)"
        print(f"vyre {tools} ({module}, Python {sys.version.split()[0]})")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vyre",
        description="Tools for VYRE sensor devices: list ports, show device info, "
        "stream and record telemetry, replay mock logs, calibrate the magnetometer, "
        "the accelerometer and the gyroscope, back up calibrations, plot recordings, or take the tour with 'vyre demo'.",
    )
    parser.add_argument(
        "--version", action=_Version, nargs=0, help="show the versions of vyre_tools and vyre_client and exit"
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    for module_name in COMMANDS.values():
        importlib.import_module(f"{__name__}.{module_name}").add_parser(sub)
    return parser


def _say(message: object) -> None:
    try:
        print(f"vyre: {message}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the console script; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args) or 0)
    except CliError as e:
        _say(e)
        return e.status
    except KeyboardInterrupt:
        _say("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # the reader of our output went away (| head): nothing left to tell,
        # and the flush at exit must not fail again
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return EXIT_FAILURE
    except ModuleNotFoundError as e:
        if e.name in ("rich", "matplotlib", "serial", "numpy", "pyarrow", "mcap"):
            from ..procedures.extras import install_hint

            _say(f"this command needs '{e.name}': {install_hint('cli')}")
        else:
            _say(f"missing Python module: {e.name}")
        return EXIT_FAILURE
    except OSError as e:
        _say(describe_os_error(e))
        return EXIT_FAILURE
    except SystemExit:
        raise
    except BaseException as e:  # the library's internal faults derive from BaseException
        if os.environ.get("VYRE_DEBUG"):
            raise
        _say(f"internal error: {type(e).__name__}: {e}")
        return EXIT_FAILURE
