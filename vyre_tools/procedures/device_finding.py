"""Finding a device again after it left, without disturbing the others.

Opening a port raises DTR, which resets many boards, so a device is looked
for only where it can be: on its stable link (a /dev/serial/by-id link or a
simulator's) when it had one, else on the ports with its USB serial number,
else, known by nothing but its id, on the ports that appeared since it left
(asked again after growing pauses while they give no answer). A port where
another device answered is left alone for as long as it stays.

``DeviceFinder`` holds that policy; ``find`` asks the candidates with the
blocking client, and a caller with a client of its own (the control
center's asyncio one) asks ``candidates()`` itself and tells ``answered``."""

import os
import time
from typing import TYPE_CHECKING

from .. import devices
from ..devices import NEW_PORT_RETRIES, NewPorts, PortInfo

__all__ = ["NEW_PORT_RETRIES", "DeviceFinder", "NewPorts"]

if TYPE_CHECKING:
    from vyre_client import VYREClient


class DeviceFinder:
    """Where to look for the device with ``device_id`` (None: any device)
    that is open on ``port`` now; ``ports``: those present (default: listed)."""

    def __init__(self, port: str, device_id: int | None, ports: list[PortInfo] | None = None) -> None:
        self.port = port
        self.device_id = device_id
        node = os.path.realpath(port)
        here = next((p for p in (devices.list_ports() if ports is None else ports) if p.device == node), None)
        # the device's stable names: its by-id link (or a simulator's), its
        # USB serial number
        self.stable = here.by_id if here is not None else None
        self.serial = here.serial_number if here is not None else None
        self._new_ports: NewPorts | None = None
        self._others: set[str] = set()  # ports where another device answered

    def lost(self, ports: list[PortInfo] | None = None) -> None:
        """The device left its port: what is present now is not where it comes back
        (unless known by a stable name)."""
        present = {p.port for p in (devices.list_ports() if ports is None else ports)}
        self._new_ports = NewPorts(present, self.port)

    def candidates(self, ports: list[PortInfo] | None = None, now: float | None = None) -> list[PortInfo]:
        """The ports to ask now (see the module's docstring)."""
        ports = devices.list_ports() if ports is None else ports
        present = {p.port for p in ports}
        self._others &= present  # a port that vanished is asked again when it comes
        if self.stable:
            ours = [p for p in ports if p.port == self.stable]
        elif self.serial:
            ours = [p for p in ports if p.serial_number == self.serial]
        else:
            if self._new_ports is None:
                self.lost(ports)
            assert self._new_ports is not None
            due = self._new_ports.due(present, time.monotonic() if now is None else now)
            ours = [p for p in ports if p.port in due]
        return [p for p in ours if p.port not in self._others]

    def answered(self, port: str, device_id: int) -> bool:
        """Whether the device that answered on ``port`` is the one looked for;
        if not, the port is left alone while it stays."""
        if self.device_id is None or device_id == self.device_id:
            self.port = port
            return True
        self._others.add(port)
        if self._new_ports is not None:
            self._new_ports.not_ours(port)
        return False

    def find(
        self, baud: int = 2_000_000, probe_timeout: float = devices.PROBE_TIMEOUT
    ) -> "tuple[VYREClient, str] | None":
        """One look: the started client of the device and its port, when it
        answered on a candidate; None otherwise."""
        for p in self.candidates():
            client = devices.probe(p, baud, probe_timeout, keep_open=True)
            if client is None:
                continue  # busy, or not up yet
            if p.device_id is not None and self.answered(p.port, p.device_id):
                return client, p.port
            client.stop()
        return None
