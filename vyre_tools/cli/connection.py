"""The device a command talks to: a serial port, or a simulated device
started for the run (``--sim``)."""

import argparse
import contextlib
import os
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, cast

from .. import devices
from .errors import EXIT_INTERRUPTED, EXIT_USAGE, CliError

if TYPE_CHECKING:
    from vyre_client import VYREClient

    from ..reconnect import ReconnectingClient
    from ..sim import SimulatorProcess
    from .console import Ui
    from .interrupts import StopRequest

DEFAULT_BAUD = 2_000_000
DEFAULT_TIMEOUT = 3.0


def positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text!r}")
    return value


def positive_int(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be positive, got {text!r}")
    return value


def whole_number(low: int, high: int, unit: str = "") -> Callable[[str], int]:
    """An argparse type: a whole number from ``low`` to ``high``."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be {low} to {high}{unit}, got {text!r}")
        return value

    return parse


def sim_option(text: str) -> tuple[str, str]:
    """KEY=VALUE for the simulated device, checked at once."""
    from ..sim.options import resolve

    key, sep, value = text.partition("=")
    key = key.strip().replace("-", "_")
    if not sep or not key:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    try:
        resolve({key: value})
    except (TypeError, ValueError) as e:
        raise argparse.ArgumentTypeError(f"{text!r}: {e}") from None
    return key, value


def add_device_arguments(parser: argparse.ArgumentParser, several: bool = False) -> None:
    """--port (``several``: repeatable, as ``ports``, $VYRE_PORT left to the
    command), --sim, --sim-option, --baud and --timeout."""
    g = parser.add_argument_group("device")
    which = g.add_mutually_exclusive_group()
    port_help = (
        f"serial port of the device, or its identity: {devices.SYNTAX} (see vyre ports "
        "--probe); default: $VYRE_PORT, else the only USB serial port present"
    )
    if several:
        which.add_argument(
            "-p",
            "--port",
            action="append",
            dest="ports",
            metavar="PORT|IDENTITY",
            help=port_help + "; repeat it for several devices",
        )
    else:
        which.add_argument(
            "-p",
            "--port",
            default=os.environ.get("VYRE_PORT") or None,
            metavar="PORT|IDENTITY",
            help=port_help,
        )
    which.add_argument("--sim", action="store_true", help="start a simulated device for this run")
    g.add_argument(
        "--sim-option",
        action="append",
        default=[],
        type=sim_option,
        metavar="KEY=VALUE",
        help="setting of the simulated device, e.g. rate=500 (repeatable; "
        "see python -m vyre_tools.sim --help)",
    )
    g.add_argument(
        "--baud", type=positive_int, default=DEFAULT_BAUD, help=f"baud rate (default {DEFAULT_BAUD})"
    )
    g.add_argument(
        "--timeout",
        type=positive_float,
        default=DEFAULT_TIMEOUT,
        help=f"seconds to wait for each answer of the device (default {DEFAULT_TIMEOUT:g})",
    )


def client_class() -> "type[VYREClient]":
    try:
        import vyre_client
    except ImportError as e:
        raise CliError(f"cannot import the vyre_client module: {e}") from None
    cls: type[VYREClient] | None = getattr(vyre_client, "VYREClient", None)
    if cls is None:
        raise CliError("this build of the vyre_client module has no VYREClient; rebuild and reinstall it")
    return cls


def present_ports_text(ports: list[devices.PortInfo] | None = None) -> str:
    """A short clause naming the ports present, for error messages."""
    ports = devices.list_ports() if ports is None else ports
    if not ports:
        return "no serial ports are present (try --sim for a simulated device)"
    return "ports present: " + ", ".join(p.port for p in ports)


def choose_port(port: str | None, baud: int = DEFAULT_BAUD) -> str:
    """The path to open for ``--port``: a path as given, the port a device
    identity names, or the only USB serial port present."""
    if port is None:
        ports = devices.list_ports()
        usb = [p.port for p in ports if p.vid is not None]
        if len(usb) == 1:
            return usb[0]
        raise CliError(f"no port given: use --port PORT or --sim; {present_ports_text(ports)}")
    if devices.is_identity(port):
        try:
            return devices.find(port, baud).port
        except ValueError as e:
            raise CliError(str(e), EXIT_USAGE) from None
        except devices.IdentityError as e:
            raise CliError(str(e)) from None
    if not os.path.exists(port):
        raise CliError(f"no serial port {port}; {present_ports_text()}")
    return port


def start_simulator(options: Iterable[tuple[str, str]] = (), **extra: Any) -> "SimulatorProcess":
    from ..sim import Simulator, SimulatorError

    settings: dict[str, Any] = dict(options)
    settings.update(extra)
    try:
        # its own session: a Ctrl-C at the terminal is ours to handle, and
        # the device must stay up while we wind down
        return Simulator.spawn(new_session=True, **settings)
    except (SimulatorError, OSError, TypeError, ValueError) as e:
        raise CliError(f"cannot start the simulated device: {e}") from None


@dataclass
class Device:
    client: "VYREClient"  # or a ReconnectingClient standing in for one
    port: str
    timeout: float
    sim: "SimulatorProcess | None" = None  # set when the device is simulated

    def answer[T](self, value: T | None, what: str) -> T:
        """``value`` unless it is None, the sign of an unanswered request."""
        if value is None:
            raise CliError(f"the device on {self.port} did not answer {what} within {self.timeout:g} s")
        return value


def connect(port: str, baud: int = DEFAULT_BAUD) -> "VYREClient":
    cls = client_class()
    try:
        client = cls(port, baud_rate=baud)
    except OSError as e:
        raise CliError(str(e)) from None
    # what the device sent before the port was opened is no part of this
    # session: rates, gaps and recordings start from fresh data
    client.discard_backlog()
    return client


@contextlib.contextmanager
def open_device(
    args: argparse.Namespace, ui: "Ui | None" = None, stop: "StopRequest | None" = None
) -> Iterator[Device]:
    """The started client for ``args`` (see add_device_arguments); stopped,
    and the simulated device closed, on the way out.  With ``args.reconnect``
    the client survives an unplug (vyre_tools.reconnect), and ``stop`` ends
    its wait for the device to come back."""
    if args.sim_option and not args.sim:
        raise CliError("--sim-option is for the simulated device: add --sim", EXIT_USAGE)
    client_class()  # fail before starting anything
    if args.sim:
        port = ""  # the simulated device's, known once it has started
    elif getattr(args, "reconnect", False) and args.port and devices.is_identity(args.port):
        port = await_device(args.port, args.baud, ui, stop)
    else:
        port = choose_port(args.port, args.baud)
    with contextlib.ExitStack() as stack:
        sim = None
        if args.sim:
            sim = start_simulator(args.sim_option)
            stack.callback(sim.close)
            port = sim.port_name
            if ui is not None:
                ui.note(f"simulated device on {port}")
        client = connect(port, args.baud)
        with client:
            if getattr(args, "reconnect", False):
                # it passes on to the client whatever it does not handle itself
                client = cast("VYREClient", reconnecting(client, port, args, ui, stop))
                stack.callback(client.close)
            yield Device(client, port, args.timeout, sim)


def await_device(identity: str, baud: int, ui: "Ui | None" = None, stop: "StopRequest | None" = None) -> str:
    """The port of the device ``identity`` names, waited for while it is
    away, as a reconnecting stream waits for it to come back."""
    from ..reconnect import _locate
    from ..stopping import stop_test

    def say(text: str) -> None:
        if ui is not None:
            ui.note(text)

    try:
        port = _locate(identity, baud, stop_test(stop), say)
    except ValueError as e:
        raise CliError(str(e), EXIT_USAGE) from None
    except devices.IdentityError as e:
        raise CliError(str(e)) from None
    if port is None:
        raise CliError(f"stopped waiting for {identity}", getattr(stop, "status", EXIT_INTERRUPTED))
    return port


def reconnecting(
    client: "VYREClient", port: str, args: argparse.Namespace, ui: "Ui | None", stop: "StopRequest | None"
) -> "ReconnectingClient":
    from ..reconnect import ReconnectingClient

    def say(text: str) -> None:
        if ui is not None:
            ui.note(text)

    return ReconnectingClient(
        client,
        port,
        baud=args.baud,
        stop=stop,
        on_wait=say,
        on_gap=lambda gap: say(gap.text()),
        info_timeout=args.timeout,
    )
