"""Telemetry held back on its way to the host, as USB adapters and busy links
do: frames go out in bursts of 1 to ``burst_max`` (a burst leaves when its
last frame is due), and a ``late_rate`` share of frames is held 1 to 10 ms
(``late_min`` to ``late_max``) longer, the frames behind it waiting too, as
behind a stalled transfer.  Frames keep their order and their timestamps:
only when they leave changes.  Every frame also takes at least ``min_delay``
(``link_delay``) on its way, as an adapter's latency does.
"""

import collections
import random
from collections.abc import Sequence


class Delivery:
    def __init__(
        self,
        seed: int,
        burst_max: int = 1,
        late_rate: float = 0.0,
        late_min: float = 0.001,
        late_max: float = 0.01,
        min_delay: float = 0.0,
    ) -> None:
        self.rng = random.Random(seed)
        self.burst_max = max(1, burst_max)
        self.late_rate = late_rate
        self.late_min = late_min
        self.late_max = max(late_min, late_max)
        self.min_delay = min_delay
        # (leave time, frames)
        self._ready: collections.deque[tuple[float, list[bytes]]] = collections.deque()
        self._burst: list[bytes] = []
        self._burst_size = self.rng.randint(1, self.burst_max)
        self._held_until = float("-inf")

    @property
    def active(self) -> bool:
        return (
            self.burst_max > 1
            or self.late_rate > 0
            or self.min_delay > 0
            or bool(self._ready)
            or bool(self._burst)
        )

    def push(self, frames: Sequence[bytes], due_times: Sequence[float]) -> None:
        """Frames made now, each with the (monotonic) time it was due."""
        rng = self.rng
        for frame, due in zip(frames, due_times):
            leave = due + self.min_delay
            if self.late_rate > 0 and rng.random() < self.late_rate:
                leave += rng.uniform(self.late_min, self.late_max)
            self._held_until = max(self._held_until, leave)
            self._burst.append(frame)
            if len(self._burst) >= self._burst_size:
                self._ready.append((self._held_until, self._burst))
                self._burst = []
                self._burst_size = rng.randint(1, self.burst_max)

    def release(self, now: float) -> list[bytes]:
        """The frames whose time to leave has come, in order."""
        out: list[bytes] = []
        while self._ready and self._ready[0][0] <= now:
            out.extend(self._ready.popleft()[1])
        return out

    def next_release(self) -> float | None:
        """When the next burst leaves (monotonic), or None."""
        return self._ready[0][0] if self._ready else None

    def clear(self) -> None:
        self._ready.clear()
        self._burst = []
        self._held_until = float("-inf")
