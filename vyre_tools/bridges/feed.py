"""What feeds a bridge: one thread per device that opens it, hands every
batch of rows to the bridge's sink (and to a recording), and comes back
after an unplug as ``vyre stream --reconnect`` does (``ReconnectingClient``:
the same device by its identity, on whatever port it returns); the
caller's thread publishes each device's health every half second and at
once when something happens.

A device's client belongs to its feed's thread, and its waits let the
other threads run (``release_gil``); a stop ends a wait at once through
the client's ``interrupt_hook``.  Nothing is thinned here: a sink that
shows fewer samples thins on its own, after the recording took them all."""

import contextlib
import dataclasses
import math
import os
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol

from . import health as states
from .health import LINK_COUNTERS, Health

if TYPE_CHECKING:
    import numpy as np
    from vyre_client import VYREClient

    from ..recording.writer import Writer

    Rows = np.ndarray[Any, np.dtype[Any]]

HEALTH_SECONDS = 0.5
# the shortest time between two takes of packets: a take costs the same for
# one packet as for a hundred, and 2 ms keeps a sample's delivery well
# within what a display or a recorder notices
PACE_SECONDS = 0.002


class BridgeError(Exception):
    """A bridge that cannot start: one line for the user."""


@dataclass(frozen=True)
class Source:
    """A device a bridge serves, once it answered."""

    index: int  # its place among the bridge's devices, from 0
    port: str  # where it was opened first
    device_id: int | None  # None when it did not say
    firmware: str
    name: str  # its configured name
    rate_hz: int | None  # its configured telemetry rate; None when it did not say

    @property
    def id_text(self) -> str:
        return "unknown" if self.device_id is None else f"0x{self.device_id:016X}"


class Sink(Protocol):
    """A bridge's side: ``open`` before a source's first rows (on its feed's
    thread), ``send`` every batch (on that thread), ``health`` from the
    caller's thread, ``close`` once all feeds ended."""

    def open(self, source: Source) -> None: ...

    def send(self, source: Source, rows: "Rows") -> None: ...

    def health(self, source: Source | None, health: Health) -> None: ...

    def close(self) -> None: ...


@dataclass(frozen=True)
class FeedOptions:
    baud: int = 2_000_000
    timeout: float = 3.0  # for the device's answers
    record: str | None = None  # a recording's path (several devices: -N before the suffix)
    mcap_profile: str = "json"
    frame_id: str | None = None


class _Stopping(Exception):
    """Raised into a client's wait when the bridge stops."""


class DeviceFeed:
    """The thread that feeds ``sink`` from the device at ``target`` (a port
    or an identity); started by ``start``, joined by its owner."""

    def __init__(
        self,
        index: int,
        target: str,
        sink: Sink,
        stop: threading.Event,
        changed: threading.Event,
        options: FeedOptions,
        record: str | None,
    ) -> None:
        self.index = index
        self.target = target
        self.source: Source | None = None
        self.failure: str | None = None  # why the feed ended early
        self.rows_recorded: int | None = None
        self._sink = sink
        self._stop = stop
        self._changed = changed
        self._options = options
        self._record = record
        self._lock = threading.Lock()
        self._health = Health(port=target)
        self._thread = threading.Thread(target=self._run, name=f"vyre bridge feed {index}")

    def start(self) -> None:
        self._thread.start()

    def join(self) -> None:
        self._thread.join()

    def alive(self) -> bool:
        return self._thread.is_alive()

    def health(self) -> Health:
        with self._lock:
            return dataclasses.replace(self._health, link=dict(self._health.link))

    def _update(self, **changes: Any) -> None:
        with self._lock:
            for key, value in changes.items():
                setattr(self._health, key, value)
        if "state" in changes or "event" in changes:
            self._changed.set()

    def _hook(self) -> None:
        if self._stop.is_set():
            raise _Stopping

    def _run(self) -> None:
        try:
            self._feed()
        except _Stopping:
            pass
        except Exception as e:  # told by the owner as one line
            self.failure = f"{self.target}: {_describe(e)}"
            self._update(event=self.failure)
        finally:
            self._update(state=states.STOPPED)

    def _feed(self) -> None:
        from .. import devices
        from ..procedures.telemetry_stats import GapCounter
        from ..reconnect import ReconnectingClient, _locate

        def waiting(text: str) -> None:
            self._update(state=states.WAITING, event=text)

        port = _locate(self.target, self._options.baud, self._stop.is_set, waiting)
        if port is None:
            return
        client = self._open(port)
        with contextlib.ExitStack() as stack:
            stack.callback(client.stop)
            timeout = self._options.timeout
            info = client.get_device_info(timeout_seconds=timeout)
            config = client.get_device_config(timeout_seconds=timeout)
            device = ReconnectingClient(
                client,
                port,
                baud=self._options.baud,
                stop=self._stop,
                on_wait=waiting,
                info_timeout=timeout,
            )
            stack.callback(device.close)
            self.source = Source(
                self.index,
                port,
                info.id if info is not None else None,
                info.firmware_version if info is not None else "",
                config.name if config is not None else "",
                config.frequency if config is not None else None,
            )
            recorder = self._recorder(info, config) if self._record else None
            if recorder is not None:
                stack.callback(self._close_recording, recorder)
            self._sink.open(self.source)
            self._update(state=states.STREAMING, port=port, device_id=self.source.id_text, event="")
            gaps = GapCounter(self.source.rate_hz)
            last_take = 0.0
            while not self._stop.is_set():
                wait = last_take + PACE_SECONDS - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                last_take = time.monotonic()
                live = device.client
                live.release_gil, live.interrupt_hook = True, self._hook
                try:
                    rows = device.get_data_array(block=True)
                except TimeoutError:
                    continue  # a device configured to send nothing, say
                except OSError as e:
                    if devices.went_away(e):
                        continue  # the reconnecting client waits at its next call
                    raise
                if device.gave_up:
                    return
                if not len(rows):
                    continue
                gap = device.take_gap()
                if gap is not None:  # back after an unplug: the gap is said with the first packets
                    with self._lock:
                        self._health.reconnects += 1
                    self._update(state=states.STREAMING, event=gap.text())
                elif self._health.state == states.WAITING:
                    self._update(state=states.STREAMING, event=f"reconnected on {device.port}")
                gaps.add(rows)
                if recorder is not None:
                    recorder.write(rows)
                self._sink.send(self.source, rows)
                link = device.link_statistics()
                self._update(
                    packets=gaps.packets,
                    gaps=gaps.gaps,
                    missing=gaps.missing,
                    synced=bool(math.isfinite(float(rows["synced_time_seconds"][-1]))),
                    link={k: link.get(k, 0) for k in LINK_COUNTERS},
                    port=device.port,
                )

    def _open(self, port: str) -> "VYREClient":
        import vyre_client

        client = vyre_client.VYREClient(port, baud_rate=self._options.baud)
        client.release_gil = True
        client.interrupt_hook = self._hook
        client.start()
        client.discard_backlog()
        return client

    def _recorder(self, info: Any, config: Any) -> "Writer":
        from ..recording import describe_source, open_writer, packet_dtype

        dtype = packet_dtype()
        meta = describe_source(dtype.names or (), info, config)
        assert self._record is not None
        options = self._options
        return open_writer(
            self._record, dtype, meta, mcap_profile=options.mcap_profile, frame_id=options.frame_id
        )

    def _close_recording(self, recorder: "Writer") -> None:
        recorder.close()
        self.rows_recorded = recorder.rows


def _describe(e: Exception) -> str:
    if isinstance(e, OSError) and e.strerror:
        return f"{e.strerror}" + (f": {e.filename}" if e.filename else "")
    return str(e) or type(e).__name__


def recording_paths(record: str | None, count: int) -> list[str | None]:
    """Each device's recording: ``record`` itself for one device, else with
    ``-1``, ``-2``, ... before its suffix."""
    if record is None or count == 1:
        return [record] * count
    stem, suffix = os.path.splitext(record)
    return [f"{stem}-{i + 1}{suffix}" for i in range(count)]


@dataclass
class BridgeResult:
    healths: list[Health]  # each device's, at the end
    failures: list[str]  # why feeds ended early
    recorded: list[tuple[str, int]]  # each recording and its rows


def run_bridge(
    targets: Sequence[str],
    sink: Sink,
    stopped: Callable[[], bool],
    duration: float | None = None,
    options: FeedOptions = FeedOptions(),
    on_health: Callable[[list[Health]], object] | None = None,
) -> BridgeResult:
    """Feeds ``sink`` from every device in ``targets`` until ``stopped()``
    holds, ``duration`` seconds have passed, or every feed has ended;
    publishes each device's health every ``HEALTH_SECONDS`` and when
    something happens (``on_health`` hears it too)."""
    stop, changed = threading.Event(), threading.Event()
    paths = recording_paths(options.record, len(targets))
    feeds = [DeviceFeed(i, t, sink, stop, changed, options, paths[i]) for i, t in enumerate(targets)]
    end = None if duration is None else time.monotonic() + duration

    def publish() -> list[Health]:
        healths = [f.health() for f in feeds]
        for feed, h in zip(feeds, healths):
            sink.health(feed.source, h)
        if on_health is not None:
            on_health(healths)
        return healths

    try:
        for feed in feeds:
            feed.start()
        while not stopped() and any(f.alive() for f in feeds):
            left = HEALTH_SECONDS if end is None else min(HEALTH_SECONDS, end - time.monotonic())
            if left <= 0:
                break
            changed.wait(left)
            changed.clear()
            publish()
    finally:
        stop.set()
        for feed in feeds:
            feed.join()
        try:
            healths = publish()
        finally:
            sink.close()
    return BridgeResult(
        healths,
        [f.failure for f in feeds if f.failure],
        [(p, f.rows_recorded) for p, f in zip(paths, feeds) if p and f.rows_recorded is not None],
    )
