"""vyre ports: the serial ports present on this machine."""

import glob
import os
import re
import sys
from dataclasses import dataclass

# USB CDC devices (the VYRE's own USB port) and USB serial adapters
DEVICE_PATTERNS = ("ttyACM*", "ttyUSB*")


@dataclass(frozen=True)
class Port:
    path: str
    target: str | None = None  # where a /dev/serial/by-id link points

    def line(self):
        return f"{self.path} -> {self.target}" if self.target else self.path


def _natural(path):
    # ttyACM2 before ttyACM10
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", path)]


def list_ports(dev="/dev"):
    """The stable by-id links (with their targets) first, then the device nodes."""
    ports = []
    by_id = os.path.join(dev, "serial", "by-id")
    try:
        names = sorted(os.listdir(by_id))
    except OSError:
        names = []
    for name in names:
        path = os.path.join(by_id, name)
        ports.append(Port(path, os.path.realpath(path)))
    nodes = set()
    for pattern in DEVICE_PATTERNS:
        nodes.update(glob.glob(os.path.join(dev, pattern)))
    ports.extend(Port(path) for path in sorted(nodes, key=_natural))
    return ports


def present_ports_text(dev="/dev"):
    """A short clause naming the ports present, for error messages."""
    ports = list_ports(dev)
    nodes = [p.path for p in ports if p.target is None]
    links = [p.path for p in ports if p.target is not None]
    shown = nodes or links
    if not shown:
        return "no serial ports are present (try --sim for a simulated device)"
    return "ports present: " + ", ".join(shown)


def add_parser(sub):
    p = sub.add_parser("ports", help="list the serial ports present",
                       description="List the serial ports present: /dev/serial/by-id links "
                                   "with their targets, then ttyACM*/ttyUSB* devices, one a line.")
    p.set_defaults(run=run)


def run(args):
    ports = list_ports()
    for port in ports:
        print(port.line())
    if not ports:
        # not on stdout, where a script expects port names
        print("no serial ports found", file=sys.stderr)
    return 0
