"""Live telemetry: a time plot per chosen quantity, with pause, zoom and a
time window. Each redraw sends at most MAX_POINTS points per line, taken
from the session's thinned copy; the data itself is never thinned."""

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


def chart_options(group: ChannelGroup) -> dict[str, Any]:
    return {
        "animation": False,
        "title": {"text": f"{group.title} ({group.unit})", "textStyle": {"fontSize": 13}},
        "grid": {"left": 60, "right": 20, "top": 35, "bottom": 30},
        "legend": {"top": 5, "right": 20},
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
            }
            for i, label in enumerate(group.labels)
        ],
    }


def build(session: DeviceSession, visible: "Any") -> None:
    """``visible()`` tells whether the tab holding the plots is shown."""
    with ui.row().classes("items-center w-full"):
        chosen = (
            ui.select([g.title for g in GROUPS], value=list(DEFAULT_GROUPS), multiple=True, label="channels")
            .classes("min-w-[24rem]")
            .props("use-chips")
        )
        window = ui.select(list(WINDOWS), value="10 s", label="time window")
        paused = ui.switch("pause").props("data-testid=live-pause")
        newest = ui.label().classes("font-mono").props("data-testid=live-time")
    values = ui.label().classes("font-mono text-sm").props("data-testid=live-values")
    charts = {}
    for group in GROUPS:
        chart = ui.echart(chart_options(group)).classes("w-full h-56")
        charts[group.title] = chart
    seen = {"version": -1}

    client = ui.context.client
    in_flight = [0]

    async def send(script: str) -> None:
        try:
            await client.run_javascript(script + "\nnull", timeout=ACK_SECONDS)
        except TimeoutError:
            pass  # a page gone or stalled: its timer ends with it
        finally:
            in_flight[0] -= 1

    def redraw() -> None:
        for title, chart in charts.items():
            chart.set_visibility(title in chosen.value)
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
        texts, calls = [], []
        seconds = WINDOWS[window.value]
        for title in chosen.value:
            group = BY_TITLE[title]
            texts.append(
                f"{title}: " + ", ".join(f"{num(latest[c], 3)}" for c in group.columns) + f" {group.unit}"
            )
            rows = rows_json(session.display.window(seconds, group.columns), group.columns)
            # merged into the chart's options, so a zoom stays as the user left it
            calls.append(
                f"getElement({charts[title].id})?.chart?.setOption({{dataset: "
                f"{{source: {rows}}}, xAxis: {{min: {t - seconds:.3f}, max: {t:.3f}}}}});"
            )
        values.text = "   ".join(texts)
        # The numbers go as one script a redraw (NiceGUI's observed options
        # would wrap and walk every one of them), and at most IN_FLIGHT go
        # unanswered: a browser that falls behind gets fewer redraws, never a
        # growing queue of stale ones.
        in_flight[0] += 1
        background_tasks.create(send("\n".join(calls)), name="vyre-ui redraw")

    ui.timer(REDRAW_SECONDS, redraw)
