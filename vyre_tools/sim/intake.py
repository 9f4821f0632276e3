"""What the host sends, as the device's receiver takes it in: the command and
mock frames found in the bytes, and the give-up of a frame whose rest stopped
coming (after ``partial_frame_wait`` seconds of quiet; never when that is 0)."""

from .. import protocol as p

# (header, identifier, payload) of a frame the host sent
Frame = tuple[int, int, bytes]


class CommandIntake:
    def __init__(self, partial_frame_wait: float) -> None:
        self.reader = p.FrameReader((p.COMMAND_HEADER, p.MOCK_HEADER), max_payload=1024)
        self.partial_frame_wait = partial_frame_wait
        self._last_in = 0.0

    def feed(self, data: bytes, now: float) -> list[Frame]:
        """The frames completed by ``data``, which arrived at ``now``."""
        self._last_in = now
        return self.reader.feed(data)

    def give_up_in(self, now: float) -> float | None:
        """Seconds until a half-received frame is given up, or None when
        nothing waits or nothing is ever given up."""
        if not self.partial_frame_wait or not self.reader.holding():
            return None
        return self._last_in + self.partial_frame_wait - now

    def give_up_when_quiet(self, now: float) -> list[Frame]:
        """The frames found behind a half-received frame that waited its time
        (its bytes counted as skipped), else nothing."""
        due = self.give_up_in(now)
        if due is None or due > 0:
            return []
        return self.reader.give_up_incomplete()
