"""The run-time controls of a simulated device: telemetry rate, faults, late
or missing answers, counters.  Each check happens in the caller's thread, so
a bad value raises there; the change itself runs on the device thread
(``_request``), between two turns of its loop."""

import math
import time

from .options import check_length_field, check_probability
from .state import DeviceState


class Controls(DeviceState):
    """The setters of :class:`vyre_tools.sim.Simulator`, mixed into it."""

    def set_rate(self, rate: float) -> None:
        """Telemetry frames per second; 0 stops telemetry."""
        rate = float(rate)
        if not rate >= 0:
            raise ValueError("rate must not be negative")

        def apply() -> None:
            self._telemetry.set_rate(rate, time.monotonic())
            self._firmware.frequency = min(65535, int(round(rate)))

        self._request(apply)

    def set_unthrottled(self, on: bool = True) -> None:
        """Unthrottled: telemetry goes out as fast as the port takes it."""

        def apply() -> None:
            self._telemetry.unthrottled = bool(on)
            self._telemetry.restart(time.monotonic())

        self._request(apply)

    def set_silent(self, on: bool = True) -> None:
        """Silent: commands are received and counted but neither run nor answered."""
        self._request(lambda: setattr(self._firmware, "silent", bool(on)))

    def set_answer_delay(self, seconds: float) -> None:
        """Late answers: each response leaves this long after its command came (0: at once)."""
        seconds = float(seconds)
        if not seconds >= 0:
            raise ValueError("answer delay must not be negative")
        self._request(lambda: setattr(self, "_answer_delay", seconds))

    def set_noise(self, rate: float, max_len: int | None = None, header_share: float | None = None) -> None:
        """Probability of a burst of 1 to ``max_len`` noise bytes before each
        frame; ``header_share`` of its bytes drawn from 5A and A5 alone."""
        rate = float(rate)
        check_probability("noise rate", rate)
        if header_share is not None:
            header_share = float(header_share)
            check_probability("noise header share", header_share)

        def apply() -> None:
            self._faults.noise = rate
            if max_len is not None:
                self._faults.noise_max_len = max(1, int(max_len))
            if header_share is not None:
                self._faults.noise_header_share = header_share

        self._request(apply)

    def set_corrupt_rate(self, rate: float) -> None:
        """Probability that a telemetry frame goes out with one bit flipped."""
        rate = float(rate)
        check_probability("corrupt rate", rate)
        self._request(lambda: setattr(self._faults, "corrupt_rate", rate))

    def set_false_header(self, rate: float, max_len: int | None = None) -> None:
        """Probability of a false header before each frame: a telemetry or
        response head with a random identifier and a length of 0 to
        ``max_len``, and no frame behind it."""
        rate = float(rate)
        check_probability("false header rate", rate)
        if max_len is not None:
            max_len = int(max_len)
            check_length_field(max_len)

        def apply() -> None:
            self._faults.false_header = rate
            if max_len is not None:
                self._faults.false_header_max_len = max_len

        self._request(apply)

    def set_cut_rate(self, rate: float) -> None:
        """Probability that a telemetry frame goes out cut short: its first 2
        to all but one bytes, the rest never sent."""
        rate = float(rate)
        check_probability("cut rate", rate)
        self._request(lambda: setattr(self._faults, "cut_rate", rate))

    def set_stray(self, rate: float) -> None:
        """Probability of a stray frame before each frame: CRC-valid, but a
        response with an identifier no answer has or a payload too short
        for its decoder."""
        rate = float(rate)
        check_probability("stray rate", rate)
        self._request(lambda: setattr(self._faults, "stray", rate))

    def shake(self, at: float, seconds: float = 2.0, style: str = "shake") -> None:
        """The device is shaken (``style`` "shake") or tapped ("taps") for
        ``seconds`` from ``at``, a ``time.monotonic()`` reading: given the
        same to every device of a rig (see ``vyre_tools.sim.rig``), they all
        feel the one motion."""
        at, seconds = float(at), float(seconds)
        if not (math.isfinite(at) and 0 < seconds < math.inf):
            raise ValueError("a shake starts at a finite time and lasts a positive number of seconds")
        if style not in ("shake", "taps"):
            raise ValueError("style is 'shake' or 'taps'")
        self._request(lambda: self._telemetry.model.shake(at - self._telemetry.t0, seconds, style))

    def discard_output(self) -> None:
        """Throw away everything written but not yet read by the client, and
        everything still queued (see also ``reset_counters``)."""
        self._request(self._do_discard_output)

    def reset_counters(self, discard_output: bool = False) -> None:
        """Zero every counter and forget the kept mock records.  With
        ``discard_output``, first throw away unread output, in the same step,
        so that from here on the client receives exactly what is counted.
        The client view starts over too: its counts are exact for a client
        whose framer held nothing then (one started on a quiet line)."""

        def apply() -> None:
            if discard_output:
                self._do_discard_output()
            self._reset_counters()

        self._request(apply)

    def ping(self) -> bool:
        return True
