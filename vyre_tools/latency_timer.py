"""The latency timer of USB serial adapters.

FTDI-style adapters (``ftdi_sio``) hold what the device sends until their
buffer fills or their latency timer runs out, 16 ms by default: every answer
can wait that long, and telemetry arrives in bursts.  Linux shows the setting
in sysfs (``/sys/class/tty/ttyUSB0/device/latency_timer``, in milliseconds)
and takes a new one from root until the adapter is plugged in again::

    echo 1 | sudo tee /sys/class/tty/ttyUSB0/device/latency_timer

(a udev rule makes it stick).  Ports without such a timer (CDC-ACM devices,
``/dev/ttyACM*``, and pseudo-terminals) have no such file.
"""

from __future__ import annotations

import os

__all__ = ["LatencyTimer", "latency_timer"]

#: Above this the timer adds noticeably to every answer.
ADVISED_MS = 1


class LatencyTimer:
    """A port's latency timer: ``milliseconds`` and the sysfs ``path`` that sets it."""

    def __init__(self, milliseconds: int, path: str) -> None:
        self.milliseconds = milliseconds
        self.path = path

    @property
    def too_long(self) -> bool:
        """Whether lowering it would make answers come sooner."""
        return self.milliseconds > ADVISED_MS

    def describe(self) -> str:
        """One line: the setting and, when it is long, how to lower it."""
        text = f"latency timer {self.milliseconds} ms"
        if self.too_long:
            text += (
                f": answers can wait up to {self.milliseconds} ms in the adapter; lower it with "
                f"'echo {ADVISED_MS} | sudo tee {self.path}'"
            )
        return text


def latency_timer(port: str | os.PathLike[str], sysfs: str | None = None) -> LatencyTimer | None:
    """The latency timer of the adapter behind ``port`` (a path or a link to
    one, such as /dev/serial/by-id/...), or None when it has none or it cannot
    be read.  ``sysfs`` defaults to ``$VYRE_SYSFS`` or ``/sys``."""
    root = sysfs or os.environ.get("VYRE_SYSFS") or "/sys"
    name = os.path.basename(os.path.realpath(port))
    for path in (
        os.path.join(root, "class", "tty", name, "device", "latency_timer"),
        os.path.join(root, "bus", "usb-serial", "devices", name, "latency_timer"),
    ):
        try:
            with open(path) as f:
                return LatencyTimer(int(f.read().strip()), path)
        except (OSError, ValueError):
            continue
    return None
