"""Telemetry statistics: the packet rate, and the gaps in the device's
timestamps.

Gaps are counted against the rate the device was configured to at the
moment: tell the counter each change (``set_rate``), and lowering the
frequency or pausing the device at 0 Hz adds no "missing" packets. While
the rate is unknown the period is estimated from the timestamps.

Both take a batch as the client gives it: a structured array
(``get_data_array``), a list of ``VYREDataPacket``, or plain timestamps::

    gaps, rate = GapCounter(config.frequency), RateMeter()
    while True:
        batch = client.get_data_array()
        gaps.add(batch)
        rate.add(len(batch), time.monotonic())
"""

import collections
import math
import statistics
from collections.abc import Iterable
from typing import Any

GAP_FACTOR = 1.5  # an interval this many periods long is a gap (one packet missing: 2)
ESTIMATE_INTERVALS = 32  # intervals behind each estimate of an unknown period
MIN_INTERVALS = 8  # fewer say too little about the period to call anything a gap
# After a change of rate, packets sent before it still come for a moment:
# for this much device time, an interval is judged by the longer of the
# two periods.
SETTLE_SECONDS = 0.5


def timestamps(batch: Any) -> list[float]:
    """The device timestamps of ``batch``: a structured array with a
    ``timestamp_seconds`` column, a sequence of packets, or of numbers."""
    names = getattr(getattr(batch, "dtype", None), "names", None)
    if names:
        return [float(t) for t in batch["timestamp_seconds"].tolist()]
    if hasattr(batch, "tolist"):
        return [float(t) for t in batch.tolist()]
    return [float(getattr(p, "timestamp_seconds", p)) for p in batch]


def period_of(rate: float | None) -> float | None:
    """Seconds between packets at ``rate`` (Hz): infinite at 0 (the device
    sends nothing), None when the rate is unknown."""
    if rate is None:
        return None
    if not rate >= 0 or math.isinf(rate):
        raise ValueError(f"a telemetry rate is a finite number of Hz >= 0, got {rate!r}")
    return math.inf if rate == 0 else 1.0 / rate


def missing_packets(seconds: float, period: float | None) -> int:
    """Packets an interval of ``seconds`` between two timestamps lacks at
    ``period``: 0 unless it is longer than ``GAP_FACTOR`` periods."""
    if period is None or not 0 < period < math.inf or not seconds > GAP_FACTOR * period:
        return 0
    return max(1, round(seconds / period) - 1)


class GapCounter:
    """Counts packets, the gaps between their device timestamps and the
    packets those gaps lack, and steps back (a repeat, a reboot).

    ``rate``: the telemetry rate the device is configured to, in Hz (0: it
    sends nothing); None estimates the period from the timestamps."""

    def __init__(self, rate: float | None = None) -> None:
        self.packets = 0
        self.gaps = 0
        self.missing = 0
        self.out_of_order = 0
        self.first: float | None = None  # the first timestamp counted
        self.last: float | None = None  # the latest, which the next interval starts from
        self._rate = rate
        self._period = period_of(rate)
        self._estimate: float | None = None
        self._early: list[float] = []  # intervals waiting for the first estimate
        self._recent: list[float] = []  # intervals since the last estimate
        self._settle_period: float | None = None
        self._settle_until: float | None = None
        self._settling = False

    @property
    def rate(self) -> float | None:
        """The configured rate the counter judges by (None: estimated)."""
        return self._rate

    @property
    def period(self) -> float:
        """The interval the gaps are judged by, in seconds: infinite while the
        device sends nothing; while an unknown one is being estimated, the
        median of the intervals so far (NaN before the first)."""
        period = self._period if self._period is not None else self._estimate
        if period is None and self._early:
            period = statistics.median(self._early)
        return math.nan if period is None else period

    def set_rate(self, rate: float | None) -> None:
        """The device was configured to ``rate`` Hz (0: paused; None:
        unknown) now. The interval across the change, and those in the
        ``SETTLE_SECONDS`` of device time after it, count as gaps only when
        they are long by the old period and the new one."""
        new = period_of(rate)
        if rate == self._rate:
            return
        old = self._period if self._period is not None else self._estimate
        # changes in a row before any packet came: the window covers them all
        periods = [old, new, *([self._settle_period] if self._settling else [])]
        self._settle_period = None if None in periods else max(p for p in periods if p is not None)
        self._settling, self._settle_until = True, None
        self._rate, self._period = rate, new
        self._early, self._recent, self._estimate = [], [], None

    def reset(self) -> None:
        """A break in the run (the device reopened, say): the interval into
        the next packet is not judged."""
        self.last = None

    def add(self, batch: Any) -> None:
        """Counts the packets of ``batch`` (see :func:`timestamps`)."""
        self.add_timestamps(timestamps(batch))

    def add_timestamps(self, stamps: Iterable[float]) -> None:
        for ts in stamps:
            self.packets += 1
            if self.first is None:
                self.first = ts
            last, self.last = self.last, ts
            if self._settling and self._settle_until is None:
                self._settle_until = ts + SETTLE_SECONDS
            elif self._settling and ts >= self._settle_until:  # type: ignore[operator]
                self._settling = False
            if last is None:
                continue
            dt = ts - last
            if not dt > 0:
                self.out_of_order += 1
            elif self._settling:
                self._judge(dt, self._settle_period)
            elif self._period is not None:
                self._judge(dt, self._period)
            else:
                self._estimated(dt)

    def finish(self) -> None:
        """Judges the first intervals of a short run with an unknown rate,
        which waited for enough of them to tell the period."""
        if self._estimate is None and len(self._early) >= MIN_INTERVALS:
            self._first_estimate()

    def _judge(self, dt: float, period: float | None) -> None:
        lost = missing_packets(dt, period)
        if lost:
            self.gaps += 1
            self.missing += lost

    def _estimated(self, dt: float) -> None:
        if self._estimate is None:
            self._early.append(dt)
            if len(self._early) >= ESTIMATE_INTERVALS:
                self._first_estimate()
            return
        self._judge(dt, self._estimate)
        self._recent.append(dt)
        if len(self._recent) >= ESTIMATE_INTERVALS:
            self._estimate = statistics.median(self._recent)
            self._recent = []

    def _first_estimate(self) -> None:
        early, self._early = self._early, []
        self._estimate = statistics.median(early)
        for dt in early:
            self._judge(dt, self._estimate)


class RateMeter:
    """Packets a second over the last ``window`` seconds of arrivals (or
    since the first, when that is shorter)."""

    def __init__(self, window: float = 1.0) -> None:
        self.window = window
        self._arrivals: collections.deque[tuple[float, int]] = collections.deque()
        self._started: float | None = None

    def add(self, count: int, now: float) -> None:
        """``count`` packets arrived at ``now`` (a monotonic time, seconds)."""
        if self._started is None:
            self._started = now
        if count:
            self._arrivals.append((now, count))
        while self._arrivals and self._arrivals[0][0] <= now - self.window:
            self._arrivals.popleft()

    def rate(self, now: float) -> float:
        if self._started is None:
            return 0.0
        span = min(self.window, now - self._started)
        if span <= 0:
            return 0.0
        return sum(n for t, n in self._arrivals if t > now - self.window) / span
