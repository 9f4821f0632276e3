"""One device as the pages see it: the client, the task that takes every
packet, what the link looks like, the way back after an unplug, and the one
action (a calibration, a replay, a backup...) that has the device.

Only the consumer task takes packets from the client. It hands each batch,
whole, to the recorder and to any tap (the calibration wizard) before the
display thins it out, so what is written never depends on the pages.

Every tab of every browser shares the session: an action claims the device
on the server, at once and before its first await, so two clicks in two
tabs never run two actions; the action's state lives here too, so every
tab, and a reload, shows it. A link that fails under any call (an action's,
the health watch's, the consumer's) is the session's to notice: the
consumer then waits for the same device to come back, looked for as
``procedures.device_finding`` says, and runs what waited for its return."""

import asyncio
import collections
import math
import os
import time
from collections.abc import Awaitable, Callable, Coroutine
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from .. import devices
from ..aio import AsyncVYREClient
from ..procedures.device_finding import DeviceFinder
from ..procedures.telemetry_stats import GapCounter, RateMeter
from ..recording import describe_source, packet_dtype
from .display import DisplayBuffer
from .recorder import Recorder

if TYPE_CHECKING:
    from vyre_client import CalibrationValues, DeviceConfig, DeviceInfo

    from ..calibration_backup import CalibrationRollback

    from .display import Rows

RETRY_SECONDS = 0.25  # how often a lost device is looked for
HEALTH_SECONDS = 1.0  # link statistics, clock sync and a timed command
RATE_WINDOW = 1.0  # seconds of arrivals the packet rate is counted over


class DeviceAway(RuntimeError):
    """A command was asked for while the device is unplugged."""


class DeviceBusy(RuntimeError):
    """Another action has the device; the text names it."""


class Claim:
    """The device held for one action (``name``) until its owner releases
    it; ``with`` releases it at the block's end, telling the session how
    the block ended."""

    def __init__(self, session: "DeviceSession", name: str) -> None:
        self.session = session
        self.name = name

    @property
    def held(self) -> bool:
        return self.session._claim is self

    def release(self, outcome: str | None = None) -> None:
        """Frees the device, if this claim still holds it (only its owner
        can); ``outcome`` (default: done) becomes the session's ``outcome``."""
        if self.session._claim is self:
            self.session._claim = None
            self.session.outcome = f"{self.name}: {outcome or 'done'}"

    def __enter__(self) -> "Claim":
        return self

    def __exit__(self, kind: object, error: object, trace: object) -> None:
        self.release(None if error is None else f"failed ({error or type(error).__name__})")


@dataclass
class LinkHealth:
    """What the link page shows; refreshed by the session."""

    packets: int = 0
    rate: float = 0.0  # packets a second over the last second
    gaps: int = 0  # intervals long enough to lack a packet
    missing: int = 0  # packets those gaps lack, by the timestamps
    period: float = math.nan  # interval the gaps are judged by, s (inf: paused)
    round_trips: collections.deque[float] = field(default_factory=lambda: collections.deque(maxlen=60))
    statistics: dict[str, int] = field(default_factory=dict)
    clock: dict[str, bool | float | int] = field(default_factory=dict)
    unplugs: int = 0


class DeviceSession:
    """The device at ``target`` (a port path or a device identity).

    ``await start()`` opens it and starts the consumer; ``await close()``
    ends everything it started. Commands are the client's, awaited through
    ``client()``, which raises DeviceAway while the device is gone. An
    action takes ``claim(name)`` first (DeviceBusy while another runs) and
    tells ``noticed(error)`` of a call that failed."""

    def __init__(
        self,
        target: str,
        *,
        baud: int = 2_000_000,
        timeout: float = 2.0,
        data_dir: str = "vyre-ui-data",
        label: str | None = None,
        files_url: str = "/recordings",
    ) -> None:
        self.target = target
        self.baud = baud
        self.timeout = timeout
        self.data_dir = os.path.abspath(data_dir)
        self.label = label or target
        self.port: str | None = None
        self.info: DeviceInfo | None = None
        self._config: DeviceConfig | None = None
        self.calibration: CalibrationValues | None = None
        self.display = DisplayBuffer()
        self.recorder = Recorder(os.path.join(self.data_dir, "recordings"))
        self.files_url = files_url  # where the page serves the recordings
        self.health = LinkHealth()
        self.taps: list[Callable[["Rows"], None]] = []
        #: run, in turn, each time the device is back after an unplug
        self.on_return: list[Callable[[], Awaitable[None]]] = []
        self.connected = False
        self.lost_reason: str | None = None  # why the device is away, while it is
        self.back_text: str | None = None  # where and when it came back last
        self.first_acceleration: tuple[float, float, float] | None = None  # of this run
        self._last_arrival = time.monotonic()  # of the latest batch (the start before the first)
        self._claim: Claim | None = None
        self.outcome = ""  # how the latest action ended, for every page to show
        self._states: dict[str, Any] = {}
        self._client: AsyncVYREClient | None = None
        self._finder: DeviceFinder | None = None
        self._tasks: list[asyncio.Task[None]] = []
        self._actions: set[asyncio.Task[Any]] = set()
        self._taking: asyncio.Task[BaseException] | None = None
        self._loss: BaseException | None = None
        self._rate = RateMeter(RATE_WINDOW)
        self._gaps = GapCounter()  # the rate is known once the configuration is read
        self._closing = False

    # ----------------------------------------------------------- the client

    @property
    def config(self) -> "DeviceConfig | None":
        """The device's configuration as last read or written; the gaps in
        the timestamps are judged by its frequency from then on."""
        return self._config

    @config.setter
    def config(self, config: "DeviceConfig | None") -> None:
        self._config = config
        if config is None:
            return
        if self._gaps.packets == 0:
            self._gaps = GapCounter(config.frequency)
        else:
            self._gaps.set_rate(config.frequency)

    def frequency_changing(self, frequency: int) -> None:
        """A configuration with ``frequency`` is about to be sent: packets at
        the old rate and the new one are expected from now on, whichever
        the device sends until its answer is read back."""
        self._gaps.set_rate(frequency)

    def client(self) -> AsyncVYREClient:
        if self._client is None or not self.connected:
            raise DeviceAway(f"the device is away ({self.lost_reason or 'not connected'})")
        return self._client

    async def start(self) -> None:
        port = await asyncio.to_thread(self._locate)
        self._client = await self._open(port)
        self._finder = await asyncio.to_thread(
            DeviceFinder, port, self.info.id if self.info is not None else None
        )
        self.connected = True
        self._tasks = [
            asyncio.create_task(self._consume(), name="vyre-ui consumer"),
            asyncio.create_task(self._watch_health(), name="vyre-ui health"),
        ]

    async def close(self) -> None:
        # the actions first, while the client is there for them to put
        # things back (a calibration restores the one the device had)
        for action in list(self._actions):
            action.cancel()
        for action in list(self._actions):
            try:
                await action
            except (asyncio.CancelledError, Exception):
                pass
        self._closing = True
        for task in self._tasks:
            task.cancel()
        for task in self._tasks:
            try:
                await task
            except (asyncio.CancelledError, Exception):
                pass
        await self.recorder.finish()
        if self._client is not None:
            await self._client.aclose()
            self._client = None
        self.connected = False

    def _locate(self) -> str:
        if devices.is_identity(self.target):
            return devices.find(self.target, self.baud).port
        return self.target

    async def _open(self, port: str) -> AsyncVYREClient:
        client = await AsyncVYREClient.open(port, self.baud)
        try:
            await client.start()
            info = await client.get_device_info(timeout_seconds=self.timeout)
            if info is None:
                raise TimeoutError(f"the device on {port} did not answer within {self.timeout:g} s")
            if self._finder is not None and not self._finder.answered(port, info.id):
                raise ConnectionError(f"another device (0x{info.id:016X}) answered on {port}")
            self.info = info
            self.config = await client.get_device_config(timeout_seconds=self.timeout)
            self.calibration = await client.get_calibration(timeout_seconds=self.timeout)
        except BaseException:
            await client.aclose()
            raise
        self.port = port
        self._gaps.reset()
        self.first_acceleration = None  # the client picks its up axis anew
        return client

    def recording_metadata(self) -> dict[str, Any]:
        return describe_source(packet_dtype().names or (), self.info, self.config)

    # -------------------------------------------------------- the actions

    @property
    def busy(self) -> str | None:
        """The action that has the device, if one has."""
        return self._claim.name if self._claim is not None else None

    def claim(self, name: str) -> Claim:
        """The device for the action ``name``, at once (no await between the
        check and the taking); DeviceBusy naming the action that has it,
        DeviceAway while it is unplugged."""
        if self._claim is not None:
            raise DeviceBusy(f"the device is busy: {self._claim.name} runs; wait for its end")
        self.client()  # DeviceAway while it is gone
        self._claim = Claim(self, name)
        return self._claim

    def spawn[T](self, action: Coroutine[Any, Any, T], name: str) -> "asyncio.Task[T]":
        """Runs ``action`` as a task of the session's, which goes on whatever
        the page that started it does, and is cancelled (then awaited) by ``close``."""
        task = asyncio.get_running_loop().create_task(action, name=name)
        self._actions.add(task)
        task.add_done_callback(self._actions.discard)
        return task

    def state[T](self, key: str, make: Callable[[], T]) -> T:
        """The state of the action ``key`` (made by ``make`` the first time):
        the session's, so every tab and a reload see the same."""
        if key not in self._states:
            self._states[key] = make()
        value: T = self._states[key]
        return value

    async def restore(self, rollback: "CalibrationRollback", action: str) -> None:
        """Puts the calibration ``rollback`` saved back on the device (read
        back and checked) as the claimed ``action``, and shows what the device
        then holds; DeviceBusy, DeviceAway or OSError when it could not."""
        with self.claim(action):
            try:
                await rollback.arestore(self.client())
                self.calibration = await self.client().get_calibration(timeout_seconds=self.timeout)
            except OSError as e:
                await self.noticed(e)
                raise

    async def noticed(self, error: BaseException) -> None:
        """A call of the client failed with ``error``: when the link is what
        failed, the session takes the device for gone and waits for it."""
        client = self._client
        if client is None or not self.connected or isinstance(error, DeviceAway):
            return
        try:
            running = await client.is_running()
        except (OSError, RuntimeError):
            running = False
        if not running and client is self._client:
            self._lose(error)

    def _lose(self, reason: BaseException) -> None:
        if not self.connected:
            return
        self.connected = False
        self.lost_reason = str(reason) or type(reason).__name__
        self._loss = reason
        if self._taking is not None:
            self._taking.cancel()  # the consumer may wait for batches that never come

    # ------------------------------------------------------- the consumer

    async def _consume(self) -> None:
        while not self._closing:
            if self.connected and self._client is not None:
                reason = await self._take_until_lost(self._client)
                if reason is None:
                    return
            else:  # lost under an action's call, noticed before the batches were asked
                reason = self._loss or ConnectionError("the link failed")
            await self._wait_for_return(reason)

    async def _take_until_lost(self, client: AsyncVYREClient) -> BaseException | None:
        """Why taking batches ended: the client's failure, or the loss an
        action noticed; None when the session closes."""
        self._taking = asyncio.create_task(self._take(client), name="vyre-ui batches")
        try:
            reason = await self._taking
        except asyncio.CancelledError:
            current = asyncio.current_task()
            if self._closing or (current is not None and current.cancelling()):
                self._taking.cancel()
                raise
            reason = self._loss or ConnectionError("the link failed")
        finally:
            self._taking = None
        return None if self._closing else reason

    async def _take(self, client: AsyncVYREClient) -> BaseException:
        """Hands every batch on until the client fails or stops: why it ended."""
        try:
            async for batch in client.batches(arrays=True):
                self._fan_out(batch)
        except Exception as e:  # a lost port mostly; whatever it was, reopen
            return e
        # the iteration ended without an error: the client was closed
        return ConnectionError("the client stopped")

    def _fan_out(self, batch: "Rows") -> None:
        # everything first to the recorder and the taps; the display thins out
        self.recorder.write(batch)
        for tap in list(self.taps):
            tap(batch)
        self.display.add(batch)
        if self.first_acceleration is None:
            self._note_first_acceleration(batch)
        self._last_arrival = time.monotonic()
        self._rate.add(len(batch), self._last_arrival)
        self.health.packets += len(batch)
        self._gaps.add(batch)

    def _note_first_acceleration(self, batch: "Rows") -> None:
        import numpy as np

        axes = [batch[f"raw_acceleration_{a}_gs"] for a in "xyz"]
        finite = np.flatnonzero(np.isfinite(axes[0]) & np.isfinite(axes[1]) & np.isfinite(axes[2]))
        if len(finite):
            i = finite[0]
            self.first_acceleration = (float(axes[0][i]), float(axes[1][i]), float(axes[2][i]))

    async def _wait_for_return(self, reason: BaseException) -> None:
        lost_at = time.monotonic()
        last_ts = self._gaps.last
        if self.connected or self.lost_reason is None:  # else the first failure seen says it
            self.lost_reason = str(reason) or type(reason).__name__
        self.connected = False
        self.back_text = None
        self.health.unplugs += 1
        if self._client is not None:
            await self._client.aclose()
            self._client = None
        finder = self._finder
        assert finder is not None  # made at the start
        await asyncio.to_thread(finder.lost)
        while not self._closing:
            await asyncio.sleep(RETRY_SECONDS)
            client = None
            for candidate in await asyncio.to_thread(finder.candidates):
                try:
                    client = await self._open(candidate.port)
                except (OSError, LookupError, ValueError, RuntimeError):
                    continue  # not up yet, or another device (left alone from now on)
                break
            if client is not None:
                self._client = client
                break
        else:
            return
        self.connected = True
        self.lost_reason = None
        self._loss = None
        self.back_text = f"on {self.port} after {time.monotonic() - lost_at:.1f} s"
        if last_ts is not None:
            self._gaps.last = last_ts  # so the time away counts as a gap
        for returned in list(self.on_return):
            try:
                await returned()
            except Exception as e:  # its own state tells the pages; the link is ours
                await self.noticed(e)

    # ------------------------------------------------------- link health

    @property
    def period(self) -> float:
        """Seconds between packets at the configured frequency (infinite at
        0 Hz; estimated from the timestamps, or NaN, while it is not known)."""
        return self._gaps.period

    def quiet_seconds(self) -> float:
        """Seconds since the latest telemetry arrived (since the start, before any)."""
        return time.monotonic() - self._last_arrival

    @property
    def rate(self) -> float:
        """Packets a second over the last ``RATE_WINDOW`` seconds."""
        return self._rate.rate(time.monotonic())

    async def _watch_health(self) -> None:
        while True:
            await asyncio.sleep(HEALTH_SECONDS)
            h = self.health
            h.rate = self.rate if self.connected else 0.0
            h.gaps, h.missing, h.period = self._gaps.gaps, self._gaps.missing, self._gaps.period
            if self.busy:
                continue  # its command holds the client: a round trip would measure that
            try:
                client = self.client()
                h.statistics = await client.link_statistics()
                h.clock = await client.clock_sync()
                began = time.monotonic()
                if await client.get_device_info(timeout_seconds=self.timeout) is not None:
                    h.round_trips.append(time.monotonic() - began)
            except DeviceAway:
                continue  # the consumer brings it back
            except (OSError, RuntimeError) as e:
                await self.noticed(e)
