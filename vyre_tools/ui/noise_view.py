"""The noise view: a still capture of a chosen length, with its progress,
then the Allan deviation curves per sensor and the noise figures per axis
(``procedures.noise``).

The capture and its outcome are the session's, so every tab, and a reload,
show the same; it claims the device for its length, so that no other
action (a calibration) changes the readings meanwhile."""

import asyncio
import time
from dataclasses import dataclass
from typing import Any

from nicegui import ui

from ..procedures.noise import SENSORS, NoiseDataError, NoiseReport, NotStill
from ..procedures.noise_capture import NoiseCapture
from .cards import card
from .session import DeviceAway, DeviceBusy, DeviceSession

NAME = "the noise capture"
MIN_SECONDS, MAX_SECONDS = 2.0, 6 * 3600.0
# beyond the capture's length: for packets to come through the consumer
LATE_SECONDS = 5.0
COLOURS = ("#d62728", "#2ca02c", "#1f77b4")  # x, y, z: a curve and its fit alike


@dataclass
class NoiseRun:
    """What the pages show. ``phase``: ready, capturing, computing, done,
    refused (the device moved) or failed."""

    phase: str = "ready"
    text: str = ""
    duration: float = 0.0
    capture: NoiseCapture | None = None
    report: NoiseReport | None = None

    def progress(self) -> float:
        if self.phase in ("computing", "done"):
            return 1.0
        if self.phase != "capturing" or self.capture is None or not self.duration:
            return 0.0
        return min(1.0, self.capture.seconds / self.duration)


def state(session: DeviceSession) -> NoiseRun:
    return session.state("noise capture", NoiseRun)


def start(session: DeviceSession, duration: float) -> None:
    """Claims the device and captures ``duration`` seconds of telemetry, then
    works out the figures; DeviceBusy or DeviceAway when it cannot start."""
    if not MIN_SECONDS <= duration <= MAX_SECONDS:
        raise ValueError(f"a capture lasts {MIN_SECONDS:g} to {MAX_SECONDS:g} s, not {duration:g}")
    run = state(session)
    claim = session.claim(NAME)  # before the first await: one action at a time
    run.phase, run.text, run.report, run.duration = "capturing", "", None, duration
    run.capture = NoiseCapture()
    session.spawn(_run(session, run, run.capture, claim), "vyre-ui noise capture")


async def _run(session: DeviceSession, run: NoiseRun, capture: NoiseCapture, claim: Any) -> None:
    try:
        with claim:
            session.taps.append(capture.add)
            try:
                deadline = time.monotonic() + run.duration + LATE_SECONDS + session.timeout
                while capture.seconds < run.duration:
                    if time.monotonic() > deadline:
                        raise NoiseDataError(
                            f"only {capture.seconds:.1f} s of telemetry came in {run.duration:g} s"
                        )
                    await asyncio.sleep(0.1)
            finally:
                session.taps.remove(capture.add)
        run.phase = "computing"
        device = f"0x{session.info.id:016X}" if session.info is not None else None
        source = f"a {capture.seconds:.0f} s capture on {session.port or session.target}"
        run.report = await asyncio.to_thread(capture.report, source, device)
        run.phase = "done"
    except NotStill as e:
        run.phase, run.text = "refused", f"refused: {e}"
    except (NoiseDataError, OSError, ValueError) as e:
        run.phase, run.text = "failed", f"failed: {e}"
    finally:
        run.capture = None  # its columns are the figures' now


def status_text(session: DeviceSession, run: NoiseRun) -> str:
    if run.phase == "capturing" and run.capture is not None:
        return (
            f"capturing: keep the device still ({run.capture.seconds:.0f} of {run.duration:g} s, "
            f"{run.capture.samples} samples)"
        )
    if run.phase == "computing":
        return "working out the figures"
    if run.phase == "done" and run.report is not None:
        s = run.report.sampling
        notes = "; ".join(run.report.notes())
        return f"done: {s.samples} samples every {1000 * s.interval:.4g} ms" + (
            f" ({notes})" if notes else ""
        )
    if run.phase == "ready":
        return "ready" if session.busy is None else f"ready (the device is busy: {session.busy})"
    return run.text


def _figure(value: Any) -> str:
    return f"≤ {value.value:.3g}" if value.upper_bound else f"{value.value:.3g}"


def table_rows(report: NoiseReport) -> list[dict[str, str]]:
    rows = []
    for c in report.channels:
        f = c.figures
        tau = f.instability.tau
        rows.append(
            {
                "channel": c.label,
                "unit": c.sensor.unit,
                "white": _figure(f.white),
                "instability": _figure(f.instability)
                + ("" if tau is None or f.instability.upper_bound else f" at {tau:.3g} s"),
                "walk": _figure(f.walk),
            }
        )
    return rows


def chart_options(title: str, unit: str) -> dict[str, Any]:
    return {
        "animation": False,
        "title": {"text": f"{title} ({unit})", "textStyle": {"fontSize": 13}},
        "grid": {"left": 70, "right": 20, "top": 35, "bottom": 40},
        "legend": {"top": 5, "right": 20},
        "tooltip": {"trigger": "axis"},
        "xAxis": {"type": "log", "name": "τ (s)", "nameLocation": "middle", "nameGap": 25},
        "yAxis": {"type": "log", "name": "Allan deviation"},
        "series": [],
    }


def curves(report: NoiseReport, sensor: Any) -> list[dict[str, Any]]:
    """The measured curve and its fit, per axis of ``sensor``."""
    series: list[dict[str, Any]] = []
    mine = [c for c in report.channels if c.sensor is sensor]
    for c, colour in zip(mine, COLOURS):
        ok = c.curve.terms > 0
        taus = c.curve.taus[ok]
        name = c.axis or sensor.name
        series.append(
            {
                "type": "line",
                "name": name,
                "data": [[float(t), float(d)] for t, d in zip(taus, c.curve.deviation[ok])],
                "symbolSize": 4,
                "color": colour,
            }
        )
        series.append(
            {
                "type": "line",
                "name": f"{name} fit",
                "data": [[float(t), float(d)] for t, d in zip(taus, c.figures.model(taus))],
                "showSymbol": False,
                "lineStyle": {"type": "dashed", "width": 1},
                "color": colour,
            }
        )
    return series


COLUMNS = [
    {"name": "channel", "label": "channel", "field": "channel", "align": "left"},
    {"name": "unit", "label": "unit u", "field": "unit", "align": "left"},
    {"name": "white", "label": "white noise (u/√Hz)", "field": "white"},
    {"name": "instability", "label": "bias instability (u)", "field": "instability"},
    {"name": "walk", "label": "random walk (u/s/√Hz)", "field": "walk"},
]


def build(session: DeviceSession) -> None:
    run = state(session)
    with card("Noise figures"):
        ui.label(
            "Put the device down where nothing moves it, then capture: the Allan deviation of "
            "each axis gives its white-noise density, bias instability and random walk. "
            "A minute shows the white noise; the bias instability and the random walk need "
            "an hour or more."
        )
        with ui.row().classes("items-end"):
            duration = ui.number("capture seconds", value=60, min=MIN_SECONDS, max=MAX_SECONDS, step=1).props(
                "data-testid=noise-duration"
            )
            go = ui.button("Capture").props("data-testid=noise-start")
        progress = ui.linear_progress(value=0.0, show_value=False).classes("w-full")
        status = ui.label("ready").props("data-testid=noise-status")
    # the table and the charts are made with the first figures: a page
    # that never shows them does not pay for them
    results = ui.column().classes("w-full")
    drawn: dict[str, object] = {"report": None}

    def begin() -> None:
        try:
            start(session, float(duration.value or 60))
        except (DeviceAway, DeviceBusy, ValueError) as e:
            ui.notify(f"not started: {e}", type="negative")
        refresh()

    def refresh() -> None:
        go.set_enabled(session.busy is None and session.connected)
        progress.value = run.progress()
        status.text = status_text(session, run)
        report = run.report if run.phase == "done" else None
        if report is drawn["report"]:
            return
        drawn["report"] = report
        results.clear()
        if report is None:
            return
        with results:
            ui.table(columns=COLUMNS, rows=table_rows(report), row_key="channel").classes("w-full").props(
                "data-testid=noise-table dense"
            )
            for sensor in SENSORS:
                options = chart_options(sensor.name, sensor.unit)
                options["series"] = curves(report, sensor)
                ui.echart(options).classes("w-full h-64")

    go.on_click(begin)
    refresh()
    ui.timer(0.25, refresh)
