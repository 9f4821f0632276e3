"""Every device on one time axis: one channel of each, plotted by its synced
time, and the live alignment ("hold the devices together and shake"),
whose offsets the plot then applies.

The alignment collects every device's telemetry from the press of the
button until the devices were shaken and are still again (or
COLLECT_LIMIT seconds), then runs ``vyre_tools.procedures.alignment`` on
it in a worker thread.  It only reads telemetry: no device is claimed."""

import asyncio
import math
import os
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from nicegui import ui

from ..procedures.alignment import Alignment, AlignmentError, align
from .session import DeviceSession

if TYPE_CHECKING:
    import numpy as np

    Rows = np.ndarray[tuple[int], np.dtype[np.void]]

GYRO = ("raw_angular_rate_x_deg_per_s", "raw_angular_rate_y_deg_per_s", "raw_angular_rate_z_deg_per_s")
ACCEL = ("raw_acceleration_x_gs", "raw_acceleration_y_gs", "raw_acceleration_z_gs")
# title: (unit, how a batch gives it)
CHANNELS: dict[str, tuple[str, Callable[["Rows"], Any]]] = {
    "Angular rate magnitude": ("deg/s", lambda r: _norm(r, GYRO)),
    "Acceleration magnitude": ("g", lambda r: _norm(r, ACCEL)),
    "Pressure": ("Pa", lambda r: r["pressure_pascals"]),
    "Altitude": ("m", lambda r: r["est_position_z_meters"]),
    "Temperature": ("°C", lambda r: r["temperature_celsius"]),
}
WINDOW = 10.0  # s of the shared axis shown
KEPT = 4000  # rows per device for the plot (thinned to one per RESOLUTION)
RESOLUTION = 0.005
MAX_POINTS = 400
REDRAW_SECONDS = 0.2
MOVING = 30.0  # deg/s: above this the devices are being shaken
STILL_AFTER = 0.75  # s of rest after the shake that end the collection
COLLECT_LIMIT = 20.0


def _norm(rows: "Rows", names: tuple[str, ...]) -> Any:
    import numpy as np

    return np.sqrt(sum(rows[n].astype(np.float64) ** 2 for n in names))


class Trace:
    """One device's recent synced times and the plotted channels, thinned."""

    def __init__(self) -> None:
        import numpy as np

        self.times = np.zeros(0)
        self.values = {title: np.zeros(0) for title in CHANNELS}

    def add(self, rows: "Rows") -> None:
        import numpy as np

        t = rows["synced_time_seconds"].astype(np.float64)
        slots = np.floor(t / RESOLUTION)
        last = math.floor(self.times[-1] / RESOLUTION) if len(self.times) else -math.inf
        keep = np.isfinite(t) & (slots > np.concatenate(([last], slots[:-1])))
        if not keep.any():
            return
        self.times = np.concatenate([self.times, t[keep]])[-KEPT:]
        for title, (_, of) in CHANNELS.items():
            self.values[title] = np.concatenate([self.values[title], of(rows[keep])])[-KEPT:]


@dataclass
class Shared:
    """What every page of the control center sees: each device's trace, the
    alignment in use and the step in progress."""

    traces: list[Trace]
    alignment: Alignment | None = None
    phase: str = "idle"  # idle, collecting, aligning
    text: str = ""
    batches: list[list["Rows"]] = field(default_factory=list)


def shared(sessions: Sequence[DeviceSession]) -> Shared:
    def make() -> Shared:
        state = Shared([Trace() for _ in sessions])
        for session, trace in zip(sessions, state.traces):
            session.taps.append(trace.add)
        return state

    return sessions[0].state("timeline", make)


def offsets_text(alignment: Alignment, labels: Sequence[str]) -> str:
    lines = []
    for d in alignment.devices:
        name = f"device {d.device} ({labels[d.device]})"
        if d.device == alignment.reference:
            lines.append(f"{name}: the reference")
        elif d.aligned:
            lines.append(
                f"{name}: offset {d.offset_seconds * 1e3:+.3f} ms ± {d.uncertainty_seconds * 1e3:.3f} ms, "
                f"quality {d.quality:.3f}"
            )
        else:
            lines.append(f"{name}: not aligned: {d.refusal}")
    return "\n".join(lines)


async def run_alignment(sessions: Sequence[DeviceSession], state: Shared) -> None:
    """Collects until the devices were shaken and are still again, then aligns."""
    import numpy as np

    from ..recording import packet_dtype

    state.batches = [[] for _ in sessions]
    taps = [batches.append for batches in state.batches]
    for session, tap in zip(sessions, taps):
        session.taps.append(tap)
    state.phase, state.text = "collecting", "hold the devices together and shake them, then hold them still"
    try:
        began = time.monotonic()
        shaken_at: float | None = None
        while time.monotonic() - began < COLLECT_LIMIT:
            await asyncio.sleep(0.1)
            recent = [b[-1] for b in state.batches if b]
            moving = any(len(r) and float(_norm(r, GYRO).max()) > MOVING for r in recent)
            if moving:
                shaken_at = time.monotonic()
            elif shaken_at is not None and time.monotonic() - shaken_at > STILL_AFTER:
                break
        streams = [np.concatenate(b) if b else np.zeros(0, packet_dtype()) for b in state.batches]
        state.phase, state.text = "aligning", "aligning…"
        try:
            result = await asyncio.to_thread(align, streams)
        except AlignmentError as e:
            state.text = f"not aligned: {e}"
            return
        labels = [s.label for s in sessions]
        if result.complete:
            state.alignment = result
            state.text = offsets_text(result, labels) + "\nthe plot shows the aligned times"
        else:
            state.text = offsets_text(result, labels) + "\nthe offsets in use stay as they were"
    finally:
        for session, tap in zip(sessions, taps):
            if tap in session.taps:
                session.taps.remove(tap)
        state.batches = []
        state.phase = "idle"


def chart_options(labels: Sequence[str], title: str) -> dict[str, Any]:
    unit = CHANNELS[title][0]
    return {
        "animation": False,
        "title": {"text": f"{title} ({unit})", "textStyle": {"fontSize": 13}},
        "grid": {"left": 60, "right": 20, "top": 35, "bottom": 55},
        "legend": {"bottom": 0},
        "tooltip": {"trigger": "axis"},
        "xAxis": {"type": "value", "name": "s", "min": -WINDOW, "max": 0},
        "yAxis": {"type": "value", "scale": True},
        "series": [
            {"type": "line", "name": label, "showSymbol": False, "data": [], "lineStyle": {"width": 1}}
            for label in labels
        ],
    }


def build(sessions: Sequence[DeviceSession], visible: Callable[[], bool]) -> None:
    """The view of every device; ``visible()`` tells whether its tab is shown."""
    import numpy as np

    state = shared(sessions)
    labels = [f"{i}: {os.path.basename(s.label)}" for i, s in enumerate(sessions)]
    with ui.row().classes("items-center w-full"):
        channel = ui.select(list(CHANNELS), value="Angular rate magnitude", label="channel").props(
            "data-testid=timeline-channel"
        )
        start = ui.button("Align: hold together and shake").props("data-testid=timeline-align")
        reset = ui.button("Forget the offsets").props("flat data-testid=timeline-reset")
    status = ui.label().classes("font-mono text-sm whitespace-pre-line").props("data-testid=timeline-status")
    chart = ui.echart(chart_options(labels, channel.value)).classes("w-full h-72")
    chart.props("data-testid=timeline-chart")

    def begin() -> None:
        if state.phase == "idle":
            sessions[0].spawn(run_alignment(sessions, state), name="vyre-ui alignment")

    def forget() -> None:
        state.alignment = None
        state.text = "offsets forgotten: each device by its synced time alone"

    start.on_click(begin)
    reset.on_click(forget)

    def redraw() -> None:
        start.set_enabled(state.phase == "idle")
        status.text = state.text
        if not visible():
            return
        offsets = state.alignment.offsets() if state.alignment else {}
        now = time.time()
        for i, trace in enumerate(state.traces):
            times = trace.times - offsets.get(i, 0.0) - now
            values = trace.values[channel.value]
            keep = np.flatnonzero(times >= -WINDOW)
            keep = keep[:: max(1, -(-len(keep) // MAX_POINTS))]
            chart.options["series"][i]["data"] = np.round(
                np.column_stack([times[keep], values[keep]]), 4
            ).tolist()
        chart.options["title"]["text"] = f"{channel.value} ({CHANNELS[channel.value][0]})"
        chart.update()

    ui.timer(REDRAW_SECONDS, redraw)
