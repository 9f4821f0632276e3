"""Finding VYRE devices: the serial ports present, and the one a device
identity names.

Ports come from pyserial's enumeration (USB vendor and product ids, serial
number, manufacturer, product) with the stable /dev/serial/by-id link of
each, plus the stable links of running simulators (pseudo-terminals, which
no enumeration lists; see ``vyre_tools.stable_links``).

A device identity is one or more ``KEY=VALUE`` conditions joined by commas,
all of which must hold::

    serial=TEXT     the USB serial number (letter case ignored)
    usb=VID:PID     the USB vendor and product id, in hex (usb=0483:5740)
    id=HEX          the device's own id, as ``vyre info`` and
                    ``vyre ports --probe`` show it (id=0x5659524500010042);
                    every port the other conditions leave is asked for it

For example ``usb=0483:5740,serial=3773385A3031``.  Anything without an
``=`` is a port path.  ``find`` returns the one port that matches, or raises
``IdentityError`` naming the candidates; with ``wait`` it first waits for a
device that is away (unplugged, or not yet plugged in).
"""

import errno
import glob
import math
import os
import re
import time
from collections.abc import Callable
from dataclasses import asdict, dataclass, field
from typing import TYPE_CHECKING, Any

from . import stable_links
from .stopping import Stop, stop_test

if TYPE_CHECKING:
    from vyre_client import VYREClient

PROBE_TIMEOUT = 0.5
POLL_SECONDS = 0.1
# A new port that does not answer (yet: a board may take a while to boot) is
# asked again after growing pauses, then left alone until it comes anew.
NEW_PORT_RETRIES = (0.5, 1.0, 2.0, 4.0, 8.0)
# the port is gone (unplugged): what opening or reading it fails with then
GONE_ERRNOS = frozenset({errno.ENOENT, errno.ENODEV, errno.ENXIO, errno.EIO})
BUSY_ERRNOS = frozenset({errno.EBUSY, errno.EAGAIN, errno.EWOULDBLOCK})
# the texts that tell the same where an error carries no errno
GONE_TEXTS = (
    "not found",
    "disconnected",
    "No such file or directory",
    "No such device",
    "Input/output error",
)
KEYS = ("serial", "usb", "id")
SYNTAX = "serial=TEXT, usb=VID:PID or id=HEX (the device's id), several joined by commas"


@dataclass
class PortInfo:
    """One serial port; the ``device_id``, ``firmware`` and ``probe_error``
    fields are filled by :func:`probe`."""

    port: str  # the path to open: the stable link when there is one
    device: str  # the device node it leads to
    by_id: str | None = None  # /dev/serial/by-id link, or the simulator's stable link
    vid: int | None = None
    pid: int | None = None
    serial_number: str | None = None
    manufacturer: str | None = None
    product: str | None = None
    description: str | None = None
    simulated: bool = False
    probed: bool = False
    device_id: int | None = None
    firmware: str | None = None
    probe_error: str | None = None

    @property
    def is_vyre(self) -> bool:
        return self.device_id is not None

    def facts(self) -> list[str]:
        """What is known of the port, as short texts."""
        facts = []
        if self.simulated:
            facts.append("simulated")
        if self.vid is not None:
            facts.append(f"usb={self.vid:04x}:{self.pid:04x}")
        if self.serial_number:
            facts.append(f"serial={self.serial_number}")
        if self.product or self.manufacturer:
            facts.append(" ".join(x for x in (self.manufacturer, self.product) if x))
        if self.is_vyre:
            facts.append(f"VYRE device id=0x{self.device_id:016X} firmware {self.firmware}")
        elif self.probe_error:
            facts.append(self.probe_error)
        return facts

    def label(self) -> str:
        """The port with what is known of it, for messages."""
        facts = self.facts()
        return f"{self.port} ({', '.join(facts)})" if facts else self.port

    def as_dict(self) -> dict[str, Any]:
        d = asdict(self)
        d["is_vyre"] = self.is_vyre
        if self.device_id is not None:
            d["device_id"] = f"0x{self.device_id:016X}"
        return d


def _by_id_links(dev: str) -> dict[str, str]:
    links: dict[str, str] = {}
    for path in sorted(glob.glob(os.path.join(glob.escape(dev), "serial", "by-id", "*"))):
        links.setdefault(os.path.realpath(path), path)
    return links


def list_ports(dev: str = "/dev", sim_links: str | None = None) -> list[PortInfo]:
    """Every serial port present: enumerated ones first (by device name),
    then the simulated devices of ``sim_links`` (default: the simulators'
    link directory)."""
    from serial.tools import list_ports as enumeration  # type: ignore[import-untyped, unused-ignore]

    links = _by_id_links(dev)
    ports = []
    for p in sorted(enumeration.comports(), key=lambda p: _natural(p.device)):
        by_id = links.get(os.path.realpath(p.device))
        ports.append(
            PortInfo(
                by_id or p.device,
                p.device,
                by_id,
                p.vid,
                p.pid,
                p.serial_number,
                p.manufacturer,
                p.product,
                None if p.description in (None, "n/a") else p.description,
            )
        )
    for link in stable_links.live_links(sim_links):
        ports.append(PortInfo(link, os.path.realpath(link), link, simulated=True))
    return ports


def _natural(path: str) -> list[int | str]:
    # ttyACM2 before ttyACM10
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", path)]


class IdentityError(LookupError):
    """No port, or more than one, matches a device identity."""

    def __init__(
        self, identity: "Identity | str", matches: list[PortInfo], candidates: list[PortInfo]
    ) -> None:
        self.identity = identity
        self.matches = matches
        self.candidates = candidates
        if matches:
            text = (
                f"{len(matches)} devices match {identity}: "
                f"{'; '.join(p.label() for p in matches)}; give one of these ports, or "
                f"conditions that tell them apart: {SYNTAX}"
            )
        elif candidates:
            text = f"no device matches {identity}; candidates: {'; '.join(p.label() for p in candidates)}"
        else:
            text = f"no device matches {identity}: no serial ports are present"
        super().__init__(text)


@dataclass(frozen=True)
class Identity:
    """Conditions a device must meet; see the module's docstring."""

    text: str
    serial: str | None = None
    vid: int | None = None
    pid: int | None = None
    device_id: int | None = None
    keys: tuple[str, ...] = field(default=(), compare=False)

    def __str__(self) -> str:
        return self.text

    def matches_port(self, info: PortInfo) -> bool:
        """Whether the conditions that need no probe hold."""
        if self.serial is not None and (info.serial_number or "").casefold() != self.serial:
            return False
        if self.vid is not None and (info.vid, info.pid) != (self.vid, self.pid):
            return False
        return True

    def matches(self, info: PortInfo) -> bool:
        """Whether every condition holds (``info`` probed when ``id`` is one)."""
        return self.matches_port(info) and (self.device_id is None or info.device_id == self.device_id)


def is_identity(text: str) -> bool:
    return "=" in text and not text.startswith(("/", "."))


def parse_identity(text: str) -> Identity:
    """The :class:`Identity` that ``text`` states; ValueError if it states none."""
    values: dict[str, str] = {}
    for part in text.split(","):
        key, sep, value = (x.strip() for x in part.partition("="))
        key = key.lower()
        if not sep or not value or key not in KEYS:
            raise ValueError(f"not a device identity: {text!r} (expected {SYNTAX})")
        if key in values:
            raise ValueError(f"{key}= given twice in {text!r}")
        values[key] = value
    fields: dict[str, Any] = {}
    if "serial" in values:
        fields["serial"] = values["serial"].casefold()
    if "usb" in values:
        m = re.fullmatch(r"([0-9a-fA-F]{1,4}):([0-9a-fA-F]{1,4})", values["usb"])
        if not m:
            raise ValueError(f"usb= takes VID:PID in hex (e.g. usb=0483:5740), got {values['usb']!r}")
        fields["vid"], fields["pid"] = int(m[1], 16), int(m[2], 16)
    if "id" in values:
        try:
            fields["device_id"] = int(values["id"], 16)
        except ValueError:
            raise ValueError(
                f"id= takes the device's id in hex (e.g. id=0x5659524500010042), got {values['id']!r}"
            ) from None
        if not 0 <= fields["device_id"] < 1 << 64:
            raise ValueError("id= is a 64-bit number")
    return Identity(text, keys=tuple(values), **fields)


def went_away(error: OSError) -> bool:
    """Whether an OSError of the library says the port is gone: vanished
    before it was opened, or hung up while in use."""
    if error.errno is not None:
        return error.errno in GONE_ERRNOS
    return any(text in str(error) for text in GONE_TEXTS)


BUSY = "busy (in use by another program)"
BUSY_TEXTS = ("Device or resource busy", "exclusive lock")


def _open_failure(error: OSError) -> str:
    """Why a port could not be opened, in a few words."""
    if error.errno is not None:
        return BUSY if error.errno in BUSY_ERRNOS else os.strerror(error.errno)
    # the library's texts end in the system's reason
    reason = str(error).rsplit(": ", 1)[-1]
    return BUSY if any(text in reason for text in BUSY_TEXTS) else reason


def probe(
    info: PortInfo, baud: int = 2_000_000, timeout: float = PROBE_TIMEOUT, keep_open: bool = False
) -> "VYREClient | None":
    """Ask the device on ``info.port`` for its device info, waiting up to
    ``timeout`` seconds; fills ``device_id`` and ``firmware``, or
    ``probe_error`` (busy, no answer...).  With ``keep_open``, returns the
    started client when the device answered (the caller stops it), else
    None.  The probe's client lets go of the interpreter lock while it waits
    (``release_gil``); a kept one is handed over so."""
    import vyre_client

    info.probed = True
    try:
        client = vyre_client.VYREClient(info.port, baud_rate=baud)
    except OSError as e:
        info.probe_error = "cannot open: " + _open_failure(e)
        return None
    # other threads run while it waits, a simulator of this process too
    client.release_gil = True
    try:
        client.start()
        answer = client.get_device_info(timeout_seconds=timeout)
    except OSError as e:
        client.stop()
        info.probe_error = f"failed: {e}"
        return None
    if answer is None:
        client.stop()
        info.probe_error = f"no answer within {timeout:g} s"
        return None
    info.device_id, info.firmware = answer.id, answer.firmware_version
    if keep_open:
        return client
    client.stop()
    return None


class NewPorts:
    """The ports worth asking for a device that left from ``lost`` while
    ``present`` were there: those that appeared since (one that vanished and
    came back counts as new, and so does ``lost`` itself), each asked again
    after the pauses of ``NEW_PORT_RETRIES`` while it gives no answer."""

    def __init__(self, present: set[str], lost: str) -> None:
        self._old = set(present) - {lost}
        self._asked: dict[str, tuple[int, float]] = {}  # port -> (times asked, when it may be asked again)

    def due(self, present: set[str], now: float) -> set[str]:
        """The ports to ask now, of those ``present``."""
        self._old &= present  # an old port that vanishes is new when it returns
        for port in set(self._asked) - present:
            del self._asked[port]
        due = set()
        for port in present - self._old:
            times, at = self._asked.get(port, (0, now))
            if now >= at:
                pause = NEW_PORT_RETRIES[times] if times < len(NEW_PORT_RETRIES) else math.inf
                self._asked[port] = (times + 1, now + pause)
                due.add(port)
        return due

    def not_ours(self, port: str) -> None:
        """Another device answered there: leave the port alone while it stays."""
        self._asked[port] = (len(NEW_PORT_RETRIES) + 1, math.inf)


def find(
    identity: Identity | str,
    baud: int = 2_000_000,
    probe_timeout: float = PROBE_TIMEOUT,
    ports: list[PortInfo] | None = None,
    *,
    wait: float = 0.0,
    stop: Stop = None,
    on_wait: Callable[[str], object] | None = None,
    poll: float = POLL_SECONDS,
) -> PortInfo:
    """The :class:`PortInfo` of the one port that matches ``identity`` (an
    :class:`Identity` or its text); IdentityError otherwise.

    Args:
        ports: the ports to look at (default: those present, listed anew on
            every look).
        wait: seconds to go on looking, every ``poll`` seconds, while no port
            matches: the device is unplugged, or on its way back
            (``math.inf``: until it is there).  Several matches end the
            wait at once, as do given ``ports``.
        stop: ends the wait early: a ``threading.Event``, a callable, or
            an object whose truth says so.
        on_wait: told once, with a text, when the wait begins."""
    if isinstance(identity, str):
        identity = parse_identity(identity)
    stopped = stop_test(stop)
    deadline = time.monotonic() + wait if wait < math.inf else math.inf
    told = False
    # opening a port raises DTR, which resets many boards: while waiting, the
    # ports asked at the first look are left alone and only those that appear are asked
    appearing: NewPorts | None = None
    while True:
        listed = list_ports() if ports is None else ports
        candidates = [p for p in listed if identity.matches_port(p)]
        if identity.device_id is not None:
            present = {p.port for p in listed}
            due = present if appearing is None else appearing.due(present, time.monotonic())
            appearing = appearing or NewPorts(present, "")
            for p in candidates:
                if p.port in due:
                    probe(p, baud, probe_timeout)
        matches = [p for p in candidates if identity.matches(p)]
        if len(matches) == 1:
            return matches[0]
        if matches or ports is not None or stopped() or time.monotonic() + poll > deadline:
            raise IdentityError(identity, matches, listed)
        if on_wait is not None and not told:
            told = True
            on_wait(f"no device matches {identity} yet; waiting for it (Ctrl-C stops)")
        time.sleep(poll)
