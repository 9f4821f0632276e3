"""Telemetry frames at the configured rate.

Paced mode: frame k of a run is due at start + k / rate on the monotonic
clock and carries exactly that time on the device clock, so the average rate
is exact however the thread is woken; at high rates the thread wakes about
every 1.5 ms and sends whatever is due.

The device clock reads ``clock_offset`` at boot and gains
``clock_drift_ppm`` parts per million on the monotonic clock; ``due_times``
holds, after each ``frames`` call, the monotonic time each paced frame's
sample was taken at (its truth).

Unthrottled mode (benchmarks): batches go out whenever the output has room.
Their timestamps follow the device clock, spread evenly since the previous
batch; the readings cycle through a ring of precomputed samples, because
computing every sample would cap the rate well below what a pty carries.
"""

import math
import struct
from collections.abc import Sequence

from .. import protocol as p
from .motion import SensorModel

F32_MAX = 3.4028234663852886e38
_DATA_HEAD = p.HEAD.pack(p.DATA_HEADER, 0, p.TELEMETRY.size)
_FRAME = p.TELEMETRY_FRAME_SIZE
BATCH_WINDOW = 0.0015
UNTHROTTLED_BATCH = 128
TEMPLATE_RING = 2048


def pack_telemetry(values: Sequence[float]) -> bytes:
    try:
        return p.TELEMETRY.pack(*values)
    except (OverflowError, struct.error):
        # a calibration can push a reading past the f32 range, where the
        # device's float arithmetic gives infinity
        fixed = [values[0]] + [
            v if abs(v) <= F32_MAX or v != v else math.copysign(math.inf, v) for v in values[1:]
        ]
        return p.TELEMETRY.pack(*fixed)


def _frame(body: bytes) -> bytes:
    return body + p.crc16(body).to_bytes(2, "little")


class TelemetrySource:
    def __init__(
        self,
        model: SensorModel,
        rate: float,
        unthrottled: bool,
        now: float,
        clock_offset: float = 0.0,
        clock_drift_ppm: float = 0.0,
    ) -> None:
        self.model = model
        self.clock_offset = clock_offset
        self.clock_gain = 1.0 + clock_drift_ppm * 1e-6
        self.due_times: list[float] = []
        self.rate = rate
        self.unthrottled = unthrottled
        self.t0 = now  # physical time origin of the motion
        self.boot = now  # device clock origin, reset by a reboot
        self.last_ts = -math.inf
        self.dropped = 0
        self._templates: list[bytes] = []
        self._template_i = 0
        self.restart(now)

    def restart(self, now: float) -> None:
        """Paced sending starts over from ``now``."""
        self._start = now
        self._n = 0

    def set_rate(self, rate: float, now: float) -> None:
        self.rate = rate
        self.restart(now)

    def reboot(self, now: float) -> None:
        self.boot = now
        self.last_ts = -math.inf

    def readings_changed(self) -> None:
        """The precomputed readings no longer hold (new calibration)."""
        self._templates = []
        self._template_i = 0

    def next_due(self, now: float, queued_chunks: int) -> float | None:
        """Seconds until frames are due, or None if none will be."""
        if self.rate <= 0:
            return None
        if self.unthrottled:
            return 0.0 if queued_chunks < 2 else None  # else wait for the pty
        due = self._start + self._n / self.rate
        if self.rate >= 500:
            due += BATCH_WINDOW
        return max(0.0, due - now)

    def frames(self, now: float, pending_bytes: int, max_backlog: int) -> list[bytes]:
        """Frames to send now."""
        self.due_times = []
        if self.rate <= 0:
            return []
        if self.unthrottled:
            if pending_bytes >= 4 * UNTHROTTLED_BATCH * _FRAME:
                return []
            return self._unthrottled(now)
        return self._paced(now, pending_bytes >= max_backlog)

    def _paced(self, now: float, backlog_full: bool) -> list[bytes]:
        rate = self.rate
        n = int((now - self._start) * rate) + 1 - self._n
        if n <= 0:
            return []
        limit = max(1, int(rate))  # at most a second's worth in one burst
        if n > limit:
            self.dropped += n - limit
            self._n += n - limit
            n = limit
        if backlog_full:
            # nobody reads the port: a device without flow control loses
            # these, and so do we
            self.dropped += n
            self._n += n
            return []
        out: list[bytes] = []
        sample = self.model.sample
        due = self.due_times
        for _ in range(n):
            tk = self._start + self._n / rate
            self._n += 1
            ts = self.clock_offset + (tk - self.boot) * self.clock_gain
            due.append(tk)
            out.append(_frame(_DATA_HEAD + pack_telemetry(sample(tk - self.t0, ts))))
            self.last_ts = ts
        return out

    def _unthrottled(self, now: float) -> list[bytes]:
        k = UNTHROTTLED_BATCH
        end = now - self.boot
        start = self.last_ts if self.last_ts > -math.inf else end - 1e-3
        if end <= start:
            end = start + k * 1e-9
        step = (end - start) / k
        ring = self._templates
        out: list[bytes] = []
        for i in range(k):
            if len(ring) < TEMPLATE_RING:
                # one smooth stretch of motion, 200 samples a second
                tail = pack_telemetry(self.model.sample(len(ring) / 200.0, 0.0))[8:]
                ring.append(tail)
            else:
                tail = ring[self._template_i]
                self._template_i = (self._template_i + 1) % TEMPLATE_RING
            out.append(_frame(_DATA_HEAD + struct.pack("<d", start + step * (i + 1)) + tail))
        self.last_ts = end
        return out
