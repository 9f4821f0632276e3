"""vyre config show|set: the device's name, telemetry frequency and protocol.

``set`` changes only what it is given (the rest is read from the device
first) and reads the configuration back afterwards: a device can acknowledge
a setting and still keep another one (a name cut to its 32 bytes, a
frequency it cannot run at), and the user should hear of it."""

import argparse
import json
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from ..procedures import configuration
from ..procedures.configuration import NAME_BYTES, PROTOCOLS, ConfigurationNotTaken
from ..procedures.device_calls import run as run_steps
from .connection import Device, add_device_arguments, open_device
from .errors import CliError
from .info import protocol_name

if TYPE_CHECKING:
    from vyre_client import DeviceConfig

    from .console import Ui


def _checked[T](check: Callable[[str], T]) -> Callable[[str], T]:
    """An argparse type from one of the configuration's checks."""

    def parse(text: str) -> T:
        try:
            return check(text)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e)) from None

    parse.__name__ = check.__name__.removeprefix("check_")
    return parse


protocol_choice = _checked(configuration.check_protocol)
frequency = _checked(configuration.check_frequency)
name = _checked(configuration.check_name)


def as_dict(config: "DeviceConfig") -> dict[str, Any]:
    return {"name": config.name, "frequency_hz": config.frequency, "protocol": protocol_name(config.protocol)}


def show(ui: "Ui", port: str, config: "DeviceConfig", title: str | None = None) -> None:
    from rich import box
    from rich.table import Table

    table = Table(
        title=title or f"Configuration of the device on {port}",
        title_justify="left",
        show_header=False,
        box=box.SIMPLE,
    )
    table.add_column(style="bold")
    table.add_column()
    table.add_row("name", config.name)
    table.add_row("frequency", f"{config.frequency} Hz")
    table.add_row("protocol", protocol_name(config.protocol))
    ui.print(table)


def read(device: Device) -> "DeviceConfig":
    return device.answer(
        device.client.get_device_config(timeout_seconds=device.timeout), "the configuration request"
    )


def change(
    device: Device, name: str | None = None, frequency: int | None = None, protocol: str | None = None
) -> "DeviceConfig":
    """Writes the configuration with the given values (the others as the
    device has them) and returns what the device reports afterwards; a
    refusal, no answer or a read-back that differs is a CliError."""
    try:
        return run_steps(configuration.change(name, frequency, protocol, device.timeout), device.client)
    except (ConfigurationNotTaken, TimeoutError, ValueError) as e:
        raise CliError(f"{device.port}: {e}") from None


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    p = sub.add_parser(
        "config",
        help="show or change the device's name, frequency and protocol",
        description="Show the device's configuration, or change it: 'set' writes "
        "the values given (the others stay as they are) and reads "
        "the configuration back to check that the device took them.",
    )
    actions = p.add_subparsers(dest="action", metavar="ACTION")
    actions.required = True
    show_p = actions.add_parser(
        "show",
        help="show the configuration",
        description="Show the device's name, telemetry frequency and protocol.",
    )
    show_p.add_argument("--json", action="store_true", help="print one JSON object instead")
    add_device_arguments(show_p)
    set_p = actions.add_parser(
        "set",
        help="change the configuration and check it",
        description="Change the device's configuration and read it "
        "back; at least one of the values is needed.",
    )
    set_p.add_argument("--name", type=name, help=f"device name (at most {NAME_BYTES} bytes)")
    set_p.add_argument("--frequency", type=frequency, metavar="HZ", help="telemetry frequency, 1 to 65535 Hz")
    set_p.add_argument(
        "--protocol",
        type=protocol_choice,
        metavar="PROTOCOL",
        help="communication protocol: " + ", ".join(PROTOCOLS),
    )
    add_device_arguments(set_p)
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    if args.action == "set" and args.name is None and args.frequency is None and args.protocol is None:
        raise CliError("config set: give --name, --frequency or --protocol")
    if args.action == "show" and args.json:
        with open_device(args) as device:
            config = read(device)
        print(json.dumps({"port": device.port, **as_dict(config)}, indent=2))
        return 0
    from .console import Ui

    ui = Ui()
    with open_device(args, ui) as device:
        if args.action == "show":
            show(ui, device.port, read(device))
        else:
            config = change(device, args.name, args.frequency, args.protocol)
            show(ui, device.port, config, title=f"Device on {device.port} now")
    return 0
