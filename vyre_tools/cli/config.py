"""vyre config show|set: the device's name, telemetry frequency and protocol.

``set`` changes only what it is given (the rest is read from the device
first) and reads the configuration back afterwards: a device can acknowledge
a setting and still keep another one (a name cut to its 32 bytes, a
frequency it cannot run at), and the user should hear of it."""

import json

from .connection import add_device_arguments, open_device, whole_number
from .errors import CliError
from .info import protocol_name

PROTOCOLS = ("USB", "UART", "I2C", "SPI")
NAME_BYTES = 32


def protocol_choice(text):
    import argparse
    name = text.upper()
    if name not in PROTOCOLS:
        raise argparse.ArgumentTypeError(f"one of {', '.join(PROTOCOLS)} (any case), got {text!r}")
    return name


frequency = whole_number(1, 65535, " Hz")


def name(text):
    import argparse
    if len(text.encode()) > NAME_BYTES:
        raise argparse.ArgumentTypeError(f"at most {NAME_BYTES} bytes as UTF-8, got {text!r}")
    return text


def as_dict(config):
    return {"name": config.name, "frequency_hz": config.frequency,
            "protocol": protocol_name(config.protocol)}


def show(ui, port, config, title=None):
    from rich import box
    from rich.table import Table
    table = Table(title=title or f"Configuration of the device on {port}", title_justify="left",
                  show_header=False, box=box.SIMPLE)
    table.add_column(style="bold")
    table.add_column()
    table.add_row("name", config.name)
    table.add_row("frequency", f"{config.frequency} Hz")
    table.add_row("protocol", protocol_name(config.protocol))
    ui.print(table)


def read(device):
    return device.answer(device.client.get_device_config(timeout_seconds=device.timeout),
                         "the configuration request")


def change(device, name=None, frequency=None, protocol=None):
    """Writes the configuration with the given values (the others as the
    device has them) and returns what the device reports afterwards; a
    refusal, no answer or a read-back that differs is a CliError."""
    import vyre_client
    client, timeout = device.client, device.timeout
    current = read(device)
    wanted = {"name": current.name if name is None else name,
              "frequency": current.frequency if frequency is None else frequency,
              "protocol": protocol_name(current.protocol) if protocol is None else protocol}
    accepted = client.set_device_config(wanted["name"], wanted["frequency"],
                                        getattr(vyre_client.DeviceProtocol, wanted["protocol"]),
                                        timeout_seconds=timeout)
    if not accepted:
        raise CliError(f"the device on {device.port} did not accept the configuration "
                       f"within {timeout:g} s")
    now = read(device)
    got = {"name": now.name, "frequency": now.frequency, "protocol": protocol_name(now.protocol)}
    differ = [f"{key} is {got[key]!r}, not {wanted[key]!r}" for key in wanted if got[key] != wanted[key]]
    if differ:
        raise CliError(f"the device on {device.port} acknowledged the configuration but "
                       f"reports otherwise: {'; '.join(differ)}")
    return now


def add_parser(sub):
    p = sub.add_parser("config", help="show or change the device's name, frequency and protocol",
                       description="Show the device's configuration, or change it: 'set' writes "
                                   "the values given (the others stay as they are) and reads "
                                   "the configuration back to check that the device took them.")
    actions = p.add_subparsers(dest="action", metavar="ACTION")
    actions.required = True
    show_p = actions.add_parser("show", help="show the configuration",
                                description="Show the device's name, telemetry frequency "
                                            "and protocol.")
    show_p.add_argument("--json", action="store_true", help="print one JSON object instead")
    add_device_arguments(show_p)
    set_p = actions.add_parser("set", help="change the configuration and check it",
                               description="Change the device's configuration and read it "
                                           "back; at least one of the values is needed.")
    set_p.add_argument("--name", type=name, help=f"device name (at most {NAME_BYTES} bytes)")
    set_p.add_argument("--frequency", type=frequency, metavar="HZ",
                       help="telemetry frequency, 1 to 65535 Hz")
    set_p.add_argument("--protocol", type=protocol_choice, metavar="PROTOCOL",
                       help="communication protocol: " + ", ".join(PROTOCOLS))
    add_device_arguments(set_p)
    p.set_defaults(run=run)


def run(args):
    if args.action == "set" and args.name is None and args.frequency is None \
            and args.protocol is None:
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
