"""Live telemetry: a time plot per chosen quantity, with pause, zoom and a
time window, and the newest values in a grid. Each redraw sends at most
MAX_POINTS points per line, taken from the session's thinned copy; the data
itself is never thinned. Lines break where samples are missing, and a
notice says for how long nothing has come."""

import math
from typing import Any

from nicegui import background_tasks, ui

from .channels import BY_TITLE, GROUPS, ChannelGroup
from .display import rows_json
from .format import num
from .session import DeviceSession

REDRAW_SECONDS = 0.04  # 25 redraws a second at most
ACK_SECONDS = 5.0
IN_FLIGHT = 2  # redraws sent and not yet run by the browser
WINDOWS = {"2 s": 2.0, "5 s": 5.0, "10 s": 10.0, "30 s": 30.0, "60 s": 60.0}
DEFAULT_GROUPS = ["Acceleration", "Magnetic field", "Tilt"]
QUIET_SECONDS = 1.0  # telemetry missing this long (or 3 periods, if longer) is told


def chart_options(group: ChannelGroup) -> dict[str, Any]:
    return {
        "animation": False,
        "title": {"text": f"{group.title} ({group.unit})", "textStyle": {"fontSize": 13}},
        # the legend under the title, never over it however narrow the page
        "grid": {"left": 60, "right": 20, "top": 55 if len(group.labels) > 1 else 35, "bottom": 30},
        "legend": {"top": 24, "left": 5, "show": len(group.labels) > 1},
        "tooltip": {"trigger": "axis"},
        "xAxis": {
            "type": "value",
            "name": "s",
            "scale": True,
            "axisLabel": {"showMinLabel": False, "showMaxLabel": False},
        },
        "yAxis": {"type": "value", "scale": True},
        "dataZoom": [{"type": "inside", "xAxisIndex": 0, "filterMode": "none"}],
        # one table of rows [t, value, ...] for all the lines of the plot
        "dataset": {"source": []},
        "series": [
            {
                "type": "line",
                "name": label,
                "showSymbol": False,
                "encode": {"x": 0, "y": i + 1},
                "lineStyle": {"width": 1},
                "connectNulls": False,
            }
            for i, label in enumerate(group.labels)
        ],
    }


def quiet_text(session: DeviceSession) -> str:
    """Why nothing is drawn, while no telemetry comes; empty while it does."""
    quiet = session.quiet_seconds()
    period = session.period
    if quiet < max(QUIET_SECONDS, 3 * period if period < math.inf else 0.0):
        return ""
    if not session.connected:
        why = "the device is away"
    elif session.config is not None and session.config.frequency == 0:
        why = "the device is configured to 0 /s: paused"
    elif session.busy:
        why = f"{session.busy} holds the link; what came meanwhile shows when it ends"
    else:
        why = "the device sends nothing"
    return f"no telemetry for {quiet:.0f} s ({why})"


def build(session: DeviceSession, visible: "Any") -> None:
    """``visible()`` tells whether the tab holding the plots is shown."""
    with ui.row().classes("items-center w-full"):
        chosen = (
            ui.select([g.title for g in GROUPS], value=list(DEFAULT_GROUPS), multiple=True, label="channels")
            .classes("w-full sm:w-auto sm:min-w-[24rem]")
            .props("use-chips")
        )
        window = ui.select(list(WINDOWS), value="10 s", label="time window").classes("min-w-[8rem]")
        paused = ui.switch("pause").props("data-testid=live-pause")
        newest = ui.label().classes("font-mono").props("data-testid=live-time")
    quiet = ui.label().classes("w-full p-2 bg-amber-100 text-amber-900").props("data-testid=live-quiet")
    quiet.set_visibility(False)
    values = (
        # the names may wrap (within a word, on a phone); the numbers stay
        # whole, a size smaller on a narrow page, where a minus sign or a
        # larger field would otherwise push the units off its edge
        ui.grid(columns="minmax(0, auto) repeat(4, max-content)")
        .classes("gap-x-2 gap-y-0 font-mono text-xs sm:text-sm")
        .props("data-testid=live-values")
    )
    cells: dict[str, tuple[str, ui.label]] = {}  # column: (its axis letter, its cell)
    charts = {}
    for group in GROUPS:
        chart = ui.echart(chart_options(group)).classes("w-full h-56")
        chart.props(f"data-testid=chart-{group.title.lower().replace(' ', '-')}")
        charts[group.title] = chart
    seen: dict[str, Any] = {"version": -1, "groups": None}

    client = ui.context.client
    in_flight = [0]

    async def send(script: str) -> None:
        try:
            await client.run_javascript(script + "\nnull", timeout=ACK_SECONDS)
        except TimeoutError:
            pass  # a page gone or stalled: its timer ends with it
        finally:
            in_flight[0] -= 1

    def value_grid(titles: list[str]) -> None:
        """A row per chosen quantity: its name, a cell per column, the unit."""
        values.clear()
        cells.clear()
        with values:
            for title in titles:
                group = BY_TITLE[title]
                ui.label(title).classes("font-sans").style("overflow-wrap: normal")
                axes = group.labels if len(group.columns) > 1 else ("",)
                for column, axis in zip(group.columns, axes):
                    cells[column] = (f"{axis} " if axis else "", ui.label().classes("text-right"))
                for _ in range(3 - len(group.columns)):
                    ui.label()
                ui.label(group.unit)

    def redraw() -> None:
        for title, chart in charts.items():
            chart.set_visibility(title in chosen.value)
        said = quiet_text(session)
        quiet.text = said
        quiet.set_visibility(bool(said))
        if (
            paused.value
            or not visible()
            or session.display.version == seen["version"]
            or in_flight[0] >= IN_FLIGHT
        ):
            return
        seen["version"] = session.display.version
        latest = session.display.latest
        if not latest:
            return
        t = latest["timestamp_seconds"]
        newest.text = f"t = {t:.3f} s"
        # the newest sample's device time, in full, for latency measurements in the browser
        newest.props(f"data-device-time={t!r}")
        if seen["groups"] != chosen.value:
            seen["groups"] = list(chosen.value)
            value_grid(seen["groups"])
        calls = []
        seconds = WINDOWS[window.value]
        for title in chosen.value:
            group = BY_TITLE[title]
            for column in group.columns:
                axis, cell = cells[column]
                cell.text = axis + num(latest[column], 3)
            shown = session.display.window(seconds, group.columns, period=session.period)
            rows = rows_json(shown, group.columns)
            # from the oldest sample shown: a window longer than the run has no empty start
            start = max(t - seconds, float(shown["timestamp_seconds"][0]))
            # merged into the chart's options, so a zoom stays as the user left it
            calls.append(
                f"getElement({charts[title].id})?.chart?.setOption({{dataset: "
                f"{{source: {rows}}}, xAxis: {{min: {start:.3f}, max: {t:.3f}}}}});"
            )
        # The numbers go as one script a redraw (NiceGUI's observed options
        # would wrap and walk every one of them), and at most IN_FLIGHT go
        # unanswered: a browser that falls behind gets fewer redraws, never a
        # growing queue of stale ones.
        in_flight[0] += 1
        background_tasks.create(send("\n".join(calls)), name="vyre-ui redraw")

    ui.timer(REDRAW_SECONDS, redraw)
