"""One device as the pages see it: the client, the task that takes every
packet, what the link looks like, and the way back after an unplug.

Only the consumer task takes packets from the client. It hands each batch,
whole, to the recorder and to any tap (the calibration wizard) before the
display thins it out, so what is written never depends on the pages."""

import asyncio
import collections
import math
import os
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from .. import devices
from ..aio import AsyncVYREClient
from ..recording import describe_source, packet_dtype
from .display import DisplayBuffer
from .recorder import Recorder

if TYPE_CHECKING:
    from vyre_client import CalibrationValues, DeviceConfig, DeviceInfo

    from .display import Rows

RETRY_SECONDS = 0.25     # how often a lost device is looked for
HEALTH_SECONDS = 1.0     # link statistics, clock sync and a timed command
RATE_WINDOW = 1.0        # seconds of arrivals the packet rate is counted over
GAP_FACTOR = 1.5         # an interval this many periods long is a gap (one packet missing: 2)


class DeviceAway(RuntimeError):
    """A command was asked for while the device is unplugged."""


@dataclass
class LinkHealth:
    """What the link page shows; refreshed by the session."""

    packets: int = 0
    rate: float = 0.0                    # packets a second over the last second
    gaps: int = 0                        # intervals longer than GAP_FACTOR periods
    missing: int = 0                     # packets those gaps lack, by the timestamps
    period: float = math.nan             # typical interval between timestamps, s
    round_trips: collections.deque[float] = field(
        default_factory=lambda: collections.deque(maxlen=60))
    statistics: dict[str, int] = field(default_factory=dict)
    clock: dict[str, bool | float | int] = field(default_factory=dict)
    unplugs: int = 0


class GapCounter:
    """Counts the holes in a run of device timestamps."""

    def __init__(self) -> None:
        self.last: float | None = None
        self.period = math.nan
        self.gaps = 0
        self.missing = 0

    def reset(self) -> None:
        self.last = None

    def add(self, ts: "Any") -> None:
        import numpy as np
        if not len(ts):
            return
        series = ts if self.last is None else np.concatenate(([self.last], ts))
        self.last = float(ts[-1])
        steps = np.diff(series)
        steps = steps[steps > 0]
        if len(steps) >= 8:
            self.period = float(np.median(steps))
        if not self.period > 0 or not len(steps):
            return
        long = steps[steps > GAP_FACTOR * self.period]
        self.gaps += len(long)
        self.missing += int(np.sum(np.round(long / self.period) - 1))


class DeviceSession:
    """The device at ``target`` (a port path or a device identity).

    ``await start()`` opens it and starts the consumer; ``await close()``
    ends everything it started. Commands are the client's, awaited through
    ``client()``, which raises DeviceAway while the device is gone."""

    def __init__(self, target: str, *, baud: int = 2_000_000, timeout: float = 2.0,
                 data_dir: str = "vyre-ui-data", label: str | None = None,
                 files_url: str = "/recordings") -> None:
        self.target = target
        self.baud = baud
        self.timeout = timeout
        self.data_dir = os.path.abspath(data_dir)
        self.label = label or target
        self.port: str | None = None
        self.info: DeviceInfo | None = None
        self.config: DeviceConfig | None = None
        self.calibration: CalibrationValues | None = None
        self.display = DisplayBuffer()
        self.recorder = Recorder(os.path.join(self.data_dir, "recordings"))
        self.files_url = files_url  # where the page serves the recordings
        self.health = LinkHealth()
        self.taps: list[Callable[["Rows"], None]] = []
        self.connected = False
        self.lost_reason: str | None = None   # why the device is away, while it is
        self.back_text: str | None = None     # where and when it came back last
        self.busy: str | None = None          # a long command running (calibration, replay)
        self.first_acceleration: tuple[float, float, float] | None = None  # of this run
        self._client: AsyncVYREClient | None = None
        self._tasks: list[asyncio.Task[None]] = []
        self._arrivals: collections.deque[tuple[float, int]] = collections.deque()
        self._gaps = GapCounter()
        self._closing = False

    # ----------------------------------------------------------- the client

    def client(self) -> AsyncVYREClient:
        if self._client is None or not self.connected:
            raise DeviceAway(f"the device is away ({self.lost_reason or 'not connected'})")
        return self._client

    async def start(self) -> None:
        self._client = await self._open(self._locate())
        self.connected = True
        self._tasks = [asyncio.create_task(self._consume(), name="vyre-ui consumer"),
                       asyncio.create_task(self._watch_health(), name="vyre-ui health")]

    async def close(self) -> None:
        self._closing = True
        for task in self._tasks:
            task.cancel()
        for task in self._tasks:
            try:
                await task
            except (asyncio.CancelledError, Exception):
                pass
        self.recorder.stop()
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
            if self.info is not None and info.id != self.info.id:
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

    # ------------------------------------------------------- the consumer

    async def _consume(self) -> None:
        while not self._closing:
            assert self._client is not None
            try:
                async for batch in self._client.batches(arrays=True):
                    self._fan_out(batch)
            except Exception as e:  # a lost port mostly; whatever it was, reopen
                await self._wait_for_return(e)
                continue
            if self._closing:
                return
            # the iteration ended without an error: the client was closed
            await self._wait_for_return(ConnectionError("the client stopped"))

    def _fan_out(self, batch: "Rows") -> None:
        # everything first to the recorder and the taps; the display thins out
        self.recorder.write(batch)
        for tap in list(self.taps):
            tap(batch)
        self.display.add(batch)
        if self.first_acceleration is None:
            self._note_first_acceleration(batch)
        now = time.monotonic()
        self._arrivals.append((now, len(batch)))
        while self._arrivals and self._arrivals[0][0] < now - RATE_WINDOW:
            self._arrivals.popleft()
        self.health.packets += len(batch)
        self._gaps.add(batch["timestamp_seconds"])

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
        self.connected = False
        self.lost_reason = str(reason) or type(reason).__name__
        self.back_text = None
        self.health.unplugs += 1
        if self._client is not None:
            await self._client.aclose()
            self._client = None
        while not self._closing:
            await asyncio.sleep(RETRY_SECONDS)
            try:
                port = await asyncio.to_thread(self._locate)
                self._client = await self._open(port)
            except (OSError, LookupError, ValueError, RuntimeError):
                continue  # not back yet, still booting, or another device
            break
        else:
            return
        self.connected = True
        self.lost_reason = None
        self.back_text = f"on {self.port} after {time.monotonic() - lost_at:.1f} s"
        if last_ts is not None:
            self._gaps.last = last_ts  # so the time away counts as a gap

    # ------------------------------------------------------- link health

    @property
    def rate(self) -> float:
        now = time.monotonic()
        count = sum(n for t, n in self._arrivals if t >= now - RATE_WINDOW)
        return count / RATE_WINDOW

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
            except (DeviceAway, OSError, RuntimeError):
                continue  # the consumer notices a lost device and brings it back
