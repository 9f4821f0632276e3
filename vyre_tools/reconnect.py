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
``stop`` object, whose truth ends the wait (the packet call then returns
nothing and ``gave_up`` is set).
"""

import collections
import os
import statistics
import time
from dataclasses import dataclass

from . import devices

POLL_SECONDS = 0.1
PERIOD_INTERVALS = 32  # recent timestamp intervals behind the period estimate


@dataclass(frozen=True)
class Gap:
    """What a reconnect cost."""

    seconds: float | None  # device time from the last packet before to the first after
    missing: int | None    # packets missing by the device's timestamps
    port: str              # where the device came back
    waited: float          # host seconds from the hang-up to the first packet after

    def text(self):
        if self.seconds is None:
            lost = "the device's clock started over (it restarted): what was missed is unknown"
        else:
            lost = (f"{self.seconds:.3f} s of device time lost "
                    f"({self.missing} packets missing by its timestamps)")
        return f"reconnected on {self.port} after {self.waited:.2f} s; {lost}"


@dataclass(frozen=True)
class Batch:
    packets: object     # a list of VYREDataPacket, or a structured array
    gap: Gap | None     # the gap just before these packets, reported once


def _first_and_tail(batch):
    """The first timestamp of a non-empty batch and its last few."""
    if isinstance(batch, list):
        return batch[0].timestamp_seconds, [p.timestamp_seconds
                                            for p in batch[-PERIOD_INTERVALS - 1:]]
    ts = batch["timestamp_seconds"]
    return float(ts[0]), ts[-PERIOD_INTERVALS - 1:].tolist()


class ReconnectingClient:
    """A client that comes back after a hang-up; see the module's docstring.

    ``client``: a started VYREClient on ``port``; it stays the caller's.
    The clients opened on a reconnect belong to this object: ``close()``
    stops the one still open.  ``on_wait(text)`` is told once per hang-up
    that the wait began; ``on_gap(gap)`` once per reconnect, when the first
    packets after it arrive.
    """

    def __init__(self, client, port, *, baud=2_000_000, stop=None, on_wait=None, on_gap=None,
                 poll=POLL_SECONDS, probe_timeout=devices.PROBE_TIMEOUT, info_timeout=3.0):
        self.client = client
        self.port = port
        self.gave_up = False
        self.gaps = []
        self._own = None
        self._baud = baud
        self._stop = stop
        self._on_wait = on_wait
        self._on_gap = on_gap
        self._poll = poll
        self._probe_timeout = probe_timeout
        self._retired = collections.Counter()
        self._last_ts = None
        self._intervals = collections.deque(maxlen=PERIOD_INTERVALS)
        self._lost_at = None
        self._new_gap = None
        info = client.get_device_info(timeout_seconds=info_timeout)
        self.device_id = info.id if info is not None else None
        # the device's stable names: its by-id link (or a simulator's), its
        # USB serial number
        node = os.path.realpath(port)
        here = next((p for p in devices.list_ports() if p.device == node), None)
        self.stable = here.by_id if here is not None else None
        self.serial = here.serial_number if here is not None else None

    def __getattr__(self, name):
        return getattr(self.client, name)

    def get_data_packets(self, block=False):
        return self._take("get_data_packets", block)

    def get_data_array(self, block=False):
        return self._take("get_data_array", block)

    def link_statistics(self):
        """The counts of every client this one has used, added up."""
        totals = collections.Counter(self._retired)
        totals.update(self.client.link_statistics())
        return dict(totals)

    def take_gap(self):
        """The gap noticed with the latest packets, once; else None."""
        gap, self._new_gap = self._new_gap, None
        return gap

    def close(self):
        if self._own is not None:
            self._own.stop()
            self._own = None

    # ------------------------------------------------------------ plumbing

    def _take(self, name, block):
        call = getattr(self.client, name)
        try:
            got = call(block=block)
        except OSError as e:
            if self.client.is_running() or self.gave_up:
                raise  # not a lost link (a blocking call that timed out, say)
            # what arrived before the failure is still queued
            got = call()
            self._note(got)
            self._lost_at = time.monotonic()
            self._replace(e)
            return got
        self._note(got)
        return got

    def _note(self, got):
        if not len(got):
            return
        first, tail = _first_and_tail(got)
        after_gap = self._lost_at is not None and self._last_ts is not None
        if after_gap:
            self._report(first)
        self._lost_at = None
        # the interval into this batch counts too, but never the gap's
        joined = self._last_ts is not None and not after_gap and len(tail) == len(got)
        seq = [self._last_ts, *tail] if joined else tail
        self._intervals.extend(b - a for a, b in zip(seq, seq[1:]) if b > a)
        self._last_ts = tail[-1]

    def _report(self, first):
        dt = first - self._last_ts
        if dt <= 0:
            seconds = missing = None
        else:
            seconds = dt
            period = statistics.median(self._intervals) if self._intervals else None
            missing = max(0, round(dt / period) - 1) if period else None
        gap = Gap(seconds, missing, self.port, time.monotonic() - self._lost_at)
        self.gaps.append(gap)
        self._new_gap = gap
        if self._on_gap is not None:
            self._on_gap(gap)

    def _replace(self, reason):
        old = self.client
        self._retired.update(old.link_statistics())
        old.stop()
        self.close()
        if self._on_wait is not None:
            self._on_wait(f"lost the device on {self.port}: {reason}; waiting for it to "
                          f"come back (Ctrl-C stops)")
        while True:
            if self._stop:
                self.gave_up = True
                return
            found = self._find()
            if found is not None:
                self.client, self.port = found
                self._own = self.client
                return
            time.sleep(self._poll)

    def _find(self):
        ports = devices.list_ports()
        if self.stable:
            ours = [p for p in ports if p.port == self.stable]
        elif self.serial:
            ours = [p for p in ports if p.serial_number == self.serial]
        else:
            ours = ports  # nothing but its id tells it
        for p in ours:
            client = devices.probe(p, self._baud, self._probe_timeout, keep_open=True)
            if client is None:
                continue  # busy, or not up yet
            if self.device_id is None or p.device_id == self.device_id:
                return client, p.port
            client.stop()
        return None


def batches(target, *, baud=2_000_000, array=False, poll=0.02, stop=None, on_wait=None):
    """Yield a :class:`Batch` for every non-empty take of packets from the
    device at ``target`` (a port path or a device identity, see
    ``vyre_tools.devices``), for as long as the caller goes on, or until
    ``stop`` holds; across unplugs as :class:`ReconnectingClient` does.
    ``array``: packets as ``get_data_array`` gives them (needs numpy).

    Raises OSError when the device cannot be opened, IdentityError when
    ``target`` names no device or several."""
    import vyre_client
    port = devices.find(target, baud).port if devices.is_identity(target) else target
    client = vyre_client.VYREClient(port, baud_rate=baud)
    with client:
        device = ReconnectingClient(client, port, baud=baud, stop=stop, on_wait=on_wait)
        try:
            take = device.get_data_array if array else device.get_data_packets
            while not stop:
                got = take()
                if len(got):
                    yield Batch(got, device.take_gap())
                else:
                    time.sleep(poll)
        finally:
            device.close()
