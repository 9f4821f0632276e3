"""vyre ports: the serial ports present on this machine, and which hold a
VYRE device."""

import argparse
import json
import sys
from typing import Any

from .connection import DEFAULT_BAUD, positive_float, positive_int
from ..devices import PROBE_TIMEOUT, SYNTAX, PortInfo, list_ports, probe
from ..latency_timer import latency_timer


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    p = sub.add_parser(
        "ports",
        help="list the serial ports present (and find the VYRE devices)",
        description="List the serial ports present, one a line: the path to give --port (the "
        "stable /dev/serial/by-id link when there is one, or a simulated device's "
        "link), the device it leads to, and what the port tells of itself. "
        f"--port also takes a device identity: {SYNTAX}; e.g. "
        "--port usb=0483:5740,serial=3773385A3031 or --port id=0x5659524500010042.",
    )
    p.add_argument("--json", action="store_true", help="print a JSON list of the ports, one object each")
    p.add_argument(
        "--probe",
        action="store_true",
        help="ask each port for the device's info and mark the VYRE devices "
        "with their id and firmware (a port in use shows as busy)",
    )
    p.add_argument(
        "--probe-timeout",
        type=positive_float,
        default=PROBE_TIMEOUT,
        metavar="SECONDS",
        help=f"how long each port has to answer (default {PROBE_TIMEOUT:g})",
    )
    p.add_argument(
        "--baud",
        type=positive_int,
        default=DEFAULT_BAUD,
        help=f"baud rate of the probes (default {DEFAULT_BAUD})",
    )
    p.set_defaults(run=run)


def _line(port: PortInfo) -> str:
    text = port.port if port.device == port.port else f"{port.port} -> {port.device}"
    timer = latency_timer(port.device)
    return "  ".join([text, *port.facts(), *([timer.describe()] if timer else [])])


def _as_dict(port: PortInfo) -> dict[str, Any]:
    d = port.as_dict()
    timer = latency_timer(port.device)
    d["latency_timer_ms"] = timer.milliseconds if timer else None
    return d


def run(args: argparse.Namespace) -> int:
    ports = list_ports()
    if args.probe:
        for port in ports:
            probe(port, args.baud, args.probe_timeout)
    if args.json:
        print(json.dumps([_as_dict(p) for p in ports], indent=2))
        return 0
    for port in ports:
        print(_line(port))
    if not ports:
        # not on stdout, where a script expects port names
        print("no serial ports found", file=sys.stderr)
    return 0
