"""The state a simulated device's parts share: :class:`Simulator` sets it up,
and its mixins (the controls, the cable, the thread requests) work on it.
Declared here, as types only, so that each part is checked against it."""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ..stable_links import StableLink
    from .delivery import Delivery
    from .faults import FaultInjector
    from .firmware import Firmware
    from .intake import CommandIntake
    from .output import OutputQueue
    from .portclaim import ClaimWatch
    from .telemetry import TelemetrySource


class DeviceState:
    """Attributes and methods of :class:`vyre_tools.sim.Simulator` its parts use."""

    options: dict[str, Any]
    port_name: str
    _thread: threading.Thread
    _hung_up: bool
    _master: int
    _slave: int
    _wake_r: int
    _wake_w: int
    _link: StableLink
    _claims: ClaimWatch
    _telemetry: TelemetrySource
    _delivery: Delivery
    _faults: FaultInjector
    _out: OutputQueue
    _firmware: Firmware
    _intake: CommandIntake
    _answer_delay: float
    _delayed: list[tuple[float, int, int, bytes]]  # heap of (due, seq, identifier, frame)
    _unplugged_until: float | None
    _replug_due: float | None
    _replugs: int
    _replugged_at: float | None

    if TYPE_CHECKING:
        # defined by the part that owns each: the thread requests, the
        # cable and the simulator itself
        def _request[T](self, fn: Callable[[], T], timeout: float = 10.0) -> T: ...
        def _do_discard_output(self) -> None: ...
        def _reset_counters(self) -> None: ...
