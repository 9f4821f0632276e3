"""Streaming that survives an unplug: wait for the same device, reopen it,
carry on, and tell how much was missed.

``batches(target)`` is the simple way for a script::

    from vyre_tools.reconnect import batches
    for batch in batches("id=0x5659524500010042"):   # or a port path
        if batch.gap:
            print(batch.gap.text())
        use(batch.packets)

``ReconnectingClient`` wraps a started ``VYREClient`` for code that already
has one: its packet calls never fail on a hang-up; they wait until the same
device is back (by its stable link, its USB serial number, and the id it
answers with), possibly under a new port name, open it and carry on.  Every
other method goes to the client currently open.

While it waits, a Ctrl-C raises KeyboardInterrupt as usual; or give a
``stop``: a ``threading.Event``, a callable, or an object whose truth ends
the wait (the packet call then returns nothing and ``gave_up`` is set).

A device known by nothing but its id is looked for only on ports that
appeared since it left: opening a port raises DTR, which resets many boards,
so the ports of other devices are left alone (the policy is
``vyre_tools.procedures.device_finding``'s, which the control center follows
too).
"""

import collections
import math
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from . import devices
from .procedures.device_finding import NEW_PORT_RETRIES, DeviceFinder  # noqa: F401
from .procedures.telemetry_stats import GapCounter, missing_packets, timestamps
from .stopping import Stop, stop_test

if TYPE_CHECKING:
    import numpy as np
    from vyre_client import VYREClient, VYREDataPacket

    #: What a take of packets gives: a list, or a structured array.
    Packets = list[VYREDataPacket] | np.ndarray[tuple[int], np.dtype[np.void]]

POLL_SECONDS = 0.1


@dataclass(frozen=True)
class Gap:
    """What a reconnect cost."""

    seconds: float | None  # device time from the last packet before to the first after
    missing: int | None  # packets missing by the device's timestamps
    port: str  # where the device came back
    waited: float  # host seconds from the hang-up to the first packet after

    def text(self) -> str:
        if self.seconds is None:
            lost = "the device's clock started over (it restarted): what was missed is unknown"
        else:
            lost = (
                f"{self.seconds:.3f} s of device time lost ({self.missing} packets missing by its timestamps)"
            )
        return f"reconnected on {self.port} after {self.waited:.2f} s; {lost}"


@dataclass(frozen=True)
class Batch:
    packets: "Packets"  # a list of VYREDataPacket, or a structured array
    gap: Gap | None  # the gap just before these packets, reported once


class ReconnectingClient:
    """A client that comes back after a hang-up; see the module's docstring.

    ``client``: a started VYREClient on ``port``; it stays the caller's.
    The clients opened on a reconnect belong to this object: ``close()``
    stops the one still open.  ``on_wait(text)`` is told once per hang-up
    that the wait began; ``on_gap(gap)`` once per reconnect, when the first
    packets after it arrive.
    """

    def __init__(
        self,
        client: "VYREClient",
        port: str,
        *,
        baud: int = 2_000_000,
        stop: Stop = None,
        on_wait: Callable[[str], object] | None = None,
        on_gap: Callable[[Gap], object] | None = None,
        poll: float = POLL_SECONDS,
        probe_timeout: float = devices.PROBE_TIMEOUT,
        info_timeout: float = 3.0,
    ) -> None:
        self.client = client
        self.port = port
        self.gave_up = False
        self.gaps: list[Gap] = []
        self._own: VYREClient | None = None
        self._baud = baud
        self._stopped = stop_test(stop)
        self._on_wait = on_wait
        self._on_gap = on_gap
        self._poll = poll
        self._probe_timeout = probe_timeout
        self._retired: collections.Counter[str] = collections.Counter()
        self._gaps = GapCounter()  # the period, estimated from the timestamps
        self._lost_at: float | None = None
        self._new_gap: Gap | None = None
        info = client.get_device_info(timeout_seconds=info_timeout)
        self.device_id = info.id if info is not None else None
        self._finder = DeviceFinder(port, self.device_id)
        self.stable = self._finder.stable
        self.serial = self._finder.serial

    def __getattr__(self, name: str) -> Any:
        return getattr(self.client, name)

    def get_data_packets(self, block: bool = False) -> "list[VYREDataPacket]":
        got: list[VYREDataPacket] = self._take("get_data_packets", block)
        return got

    def get_data_array(self, block: bool = False) -> "np.ndarray[tuple[int], np.dtype[np.void]]":
        got: np.ndarray[tuple[int], np.dtype[np.void]] = self._take("get_data_array", block)
        return got

    def link_statistics(self) -> dict[str, int]:
        """The counts of every client this one has used, added up."""
        totals = collections.Counter(self._retired)
        totals.update(self.client.link_statistics())
        return dict(totals)

    def take_gap(self) -> Gap | None:
        """The gap noticed with the latest packets, once; else None."""
        gap, self._new_gap = self._new_gap, None
        return gap

    def close(self) -> None:
        if self._own is not None:
            self._own.stop()
            self._own = None

    # ------------------------------------------------------------ plumbing

    def _take(self, name: str, block: bool) -> Any:
        call = getattr(self.client, name)
        try:
            got = call(block=block)
        except OSError as e:
            if self.client.is_running() or self.gave_up:
                raise  # not a lost link (a blocking call that timed out, say)
            # what arrived before the failure is still queued
            got = call()
            self._lost(got, e)
            return got
        if not len(got) and not self.gave_up:
            # another call (a command) may have been told of the loss first
            failure = self.client.link_failure
            if failure is not None:
                self._lost(got, failure)
                return got
        self._note(got)
        return got

    def _lost(self, got: "Packets", reason: OSError) -> None:
        self._note(got)
        self._lost_at = time.monotonic()
        self._replace(reason)

    def _note(self, got: "Packets") -> None:
        if not len(got):
            return
        last_ts, lost_at = self._gaps.last, self._lost_at
        if lost_at is not None and last_ts is not None:
            self._report(timestamps(got[:1])[0], last_ts, lost_at)
            self._gaps.reset()  # the gap's interval is reported, never counted
        self._lost_at = None
        self._gaps.add(got)

    def _report(self, first: float, last_ts: float, lost_at: float) -> None:
        dt = first - last_ts
        if dt <= 0:
            seconds = missing = None
        else:
            seconds = dt
            period = self._gaps.period
            missing = missing_packets(dt, period) if math.isfinite(period) else None
        gap = Gap(seconds, missing, self.port, time.monotonic() - lost_at)
        self.gaps.append(gap)
        self._new_gap = gap
        if self._on_gap is not None:
            self._on_gap(gap)

    def _replace(self, reason: OSError) -> None:
        old = self.client
        self._retired.update(old.link_statistics())
        old.stop()
        self.close()
        self._finder.lost()
        if self._on_wait is not None:
            self._on_wait(
                f"lost the device on {self.port}: {reason}; waiting for it to come back (Ctrl-C stops)"
            )
        while True:
            if self._stopped():
                self.gave_up = True
                return
            found = self._find()
            if found is not None:
                self.client, self.port = found
                self._own = self.client
                return
            time.sleep(self._poll)

    def _find(self) -> "tuple[VYREClient, str] | None":
        found = self._finder.find(self._baud, self._probe_timeout)
        if found is not None:
            found[0].release_gil = self.client.release_gil  # as the caller's was
        return found


def _locate(
    target: str, baud: int, stopped: Callable[[], bool], on_wait: Callable[[str], object] | None
) -> str | None:
    """The port of the device ``target`` names, waited for while it is away;
    None when ``stop`` ended the wait."""
    if not devices.is_identity(target):
        return target
    try:
        return devices.find(target, baud, wait=math.inf, stop=stopped, on_wait=on_wait).port
    except devices.IdentityError as e:
        if e.matches or not stopped():
            raise
        return None


def _reconnecting(
    target: str, port: str, baud: int, stopped: Callable[[], bool], on_wait: Callable[[str], object] | None
) -> "tuple[ReconnectingClient, VYREClient] | None":
    """A ReconnectingClient on ``port``, and the started client under it;
    None when the device named by an identity left again before it answered."""
    import vyre_client

    try:
        client = vyre_client.VYREClient(port, baud_rate=baud)
        client.start()
        try:
            return ReconnectingClient(client, port, baud=baud, stop=stopped, on_wait=on_wait), client
        except BaseException:
            client.stop()
            raise
    except OSError as e:
        if not devices.is_identity(target) or not devices.went_away(e):
            raise
        return None


def batches(
    target: str,
    *,
    baud: int = 2_000_000,
    array: bool = False,
    poll: float = 0.02,
    stop: Stop = None,
    on_wait: Callable[[str], object] | None = None,
) -> Iterator[Batch]:
    """Yield a :class:`Batch` for every non-empty take of packets from the
    device at ``target`` (a port path or a device identity, see
    ``vyre_tools.devices``), for as long as the caller goes on, or until
    ``stop`` holds (see the module's docstring); across unplugs as
    :class:`ReconnectingClient` does.  A device named by an identity that is
    away at the start is waited for as after an unplug (``on_wait`` is told).
    ``array``: packets as ``get_data_array`` gives them (needs numpy).

    Raises OSError when the device at a port path cannot be opened,
    IdentityError when ``target`` names several devices."""
    stopped = stop_test(stop)
    opened = None
    while opened is None:
        port = _locate(target, baud, stopped, on_wait)
        if port is None:
            return
        opened = _reconnecting(target, port, baud, stopped, on_wait)
    device, client = opened
    with client:
        try:
            take = device.get_data_array if array else device.get_data_packets
            while not stopped():
                got = take()
                if len(got):
                    yield Batch(got, device.take_gap())
                else:
                    time.sleep(poll)
        finally:
            device.close()
