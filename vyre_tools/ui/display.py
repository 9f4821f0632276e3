"""What the pages draw: a thinned-out copy of the telemetry.

The display keeps one row per ``resolution`` seconds of device time (the
first of each slot), for the last ``capacity`` rows, so its memory is fixed
whatever the rate; the recorder sees every packet, never this copy."""

import math
from typing import TYPE_CHECKING, Any

from ..procedures.telemetry_stats import GAP_FACTOR
from .channels import KEPT_COLUMNS

if TYPE_CHECKING:
    import numpy as np

    Rows = np.ndarray[tuple[int], np.dtype[np.void]]
    Column = np.ndarray[tuple[int], np.dtype[np.float64]]

RESOLUTION = 0.005  # 200 rows a second at most: finer than any plot shows
CAPACITY = 12_000  # a minute at that resolution
MAX_POINTS = 400  # points per line sent to the browser, whatever the window


class DisplayBuffer:
    """A ring of decimated rows, one float64 column each of KEPT_COLUMNS."""

    def __init__(self, resolution: float = RESOLUTION, capacity: int = CAPACITY) -> None:
        import numpy as np

        self.resolution = resolution
        self.capacity = capacity
        self._columns = {name: np.zeros(capacity) for name in KEPT_COLUMNS}
        self._start = 0  # index of the oldest row
        self._count = 0
        self._last_slot: float | None = None
        self.version = 0  # goes up with every row taken, so a page redraws only on news
        self.latest: dict[str, float] = {}

    def clear(self) -> None:
        self._start = self._count = 0
        self._last_slot = None
        self.version += 1

    def add(self, rows: "Rows") -> None:
        """Takes a batch of ``get_data_array`` rows, keeping the first of each slot."""
        import numpy as np

        if not len(rows):
            return
        ts = rows["timestamp_seconds"].astype(np.float64)
        if self._count and ts[0] < self._newest_time() - 1.0:
            self.clear()  # the device's clock started over (a reboot, mock mode)
        slots = np.floor(ts / self.resolution)
        previous = np.concatenate(([self._last_slot if self._last_slot is not None else -np.inf], slots[:-1]))
        keep = np.flatnonzero(slots > previous)
        if len(keep):
            self._last_slot = float(slots[keep[-1]])
            self._append(rows[keep])
        newest = rows[-1]
        self.latest = {name: float(newest[name]) for name in KEPT_COLUMNS}
        self.version += 1

    def _newest_time(self) -> float:
        return float(self._columns["timestamp_seconds"][(self._start + self._count - 1) % self.capacity])

    def _append(self, rows: "Rows") -> None:
        rows = rows[-self.capacity :]
        n = len(rows)
        end = (self._start + self._count) % self.capacity
        first = min(n, self.capacity - end)
        for name, column in self._columns.items():
            values = rows[name]
            column[end : end + first] = values[:first]
            column[: n - first] = values[first:]
        overflow = max(0, self._count + n - self.capacity)
        self._count += n - overflow
        self._start = (self._start + overflow) % self.capacity

    def window(
        self,
        seconds: float,
        columns: tuple[str, ...],
        max_points: int = MAX_POINTS,
        period: float = math.nan,
    ) -> "dict[str, Column]":
        """The last ``seconds`` of device time: ``timestamp_seconds`` and
        ``columns``, thinned to at most ``max_points`` rows (and the two
        around each gap). Where the timestamps jump by more than
        ``break_after(period)`` (``period``: seconds between packets, NaN
        when unknown) a row of NaN goes between, so a line breaks there
        instead of drawing samples that never came."""
        import numpy as np

        order = (self._start + np.arange(self._count)) % self.capacity
        ts = self._columns["timestamp_seconds"][order]
        if len(ts):
            inside = ts >= ts[-1] - seconds
            order, ts = order[inside], ts[inside]
        step = max(1, -(-len(order) // max_points))
        kept = np.arange(len(order) - 1, -1, -step)[::-1]  # the newest row always in
        after = np.flatnonzero(np.diff(ts) > self.break_after(period, ts))[-max_points // 4 :]
        if len(after):
            kept = np.union1d(kept, np.concatenate((after, after + 1)))
        out = {name: self._columns[name][order[kept]] for name in ("timestamp_seconds", *columns)}
        if len(after):
            # a row of NaN just after the last sample before each gap
            where = np.searchsorted(kept, after, side="right")
            for name, column in out.items():
                fill = ts[after] + self.resolution / 2 if name == "timestamp_seconds" else np.nan
                out[name] = np.insert(column, where, fill)
        return out

    def break_after(self, period: float, ts: "Column | None" = None) -> float:
        """The interval of device time beyond which the display takes
        samples for missing: longer than GAP_FACTOR periods, and than the
        slots it keeps can make it. Without a finite ``period``, the median
        interval of ``ts`` stands in."""
        import numpy as np

        if not 0 < period < math.inf:
            steps = np.diff(ts) if ts is not None and len(ts) > 2 else None
            period = float(np.median(steps)) if steps is not None else math.inf
        return max(GAP_FACTOR * period, 3 * self.resolution)

    def __len__(self) -> int:
        return self._count


def rows_json(window: "dict[str, Any]", columns: tuple[str, ...], decimals: int = 4) -> str:
    """Rows ``[t, value, ...]`` for a chart's dataset as JSON text, rounded to
    keep the message small (times to the millisecond); NaN and infinities
    as null, the gaps of a line. Sent as one text, it costs the server no
    walk over the numbers."""
    import numpy as np

    values = np.round(np.column_stack([window["timestamp_seconds"], *(window[c] for c in columns)]), decimals)
    values[:, 0] = np.round(values[:, 0], 3)
    try:
        import orjson
    except ImportError:  # where orjson is not built (NiceGUI goes without it there too)
        import json

        return json.dumps([[v if math.isfinite(v) else None for v in row] for row in values.tolist()])
    return orjson.dumps(values, option=orjson.OPT_SERIALIZE_NUMPY).decode()
