"""Recording from the page: format, start and stop, the files made, download.
The writer is fed by the session's consumer task, not by the page."""

import urllib.parse

from nicegui import ui

from .cards import card
from .recorder import FORMATS
from .session import DeviceSession


def build(session: DeviceSession) -> None:
    recorder = session.recorder
    with card("Recording"):
        with ui.row().classes("items-end"):
            fmt = (
                ui.select(list(FORMATS), value="CSV", label="format")
                .classes("min-w-[8rem]")
                .props("data-testid=record-format")
            )
            start = ui.button("Start recording").props("data-testid=record-start")
            stop = ui.button("Stop", color="red").props("data-testid=record-stop")
        status = ui.label().props("data-testid=record-status")
        ui.label(f"files are written to {recorder.folder}").classes("text-sm text-gray-600")
    with card("Files"):
        files = ui.column().classes("gap-1").props("data-testid=record-files")
    listed: dict[str, list[tuple[str, int]]] = {"names": []}

    def begin() -> None:
        try:
            path = recorder.start(fmt.value, session.recording_metadata())
        except (OSError, RuntimeError, ValueError) as e:
            ui.notify(f"not recording: {e}", type="negative")
            return
        ui.notify(f"recording to {path}")
        refresh()

    async def end() -> None:
        path = await recorder.finish()
        if path:
            ui.notify(f"wrote {path}", type="positive")
        refresh()

    def refresh() -> None:
        start.set_enabled(not recorder.active)
        stop.set_enabled(recorder.active)
        fmt.set_enabled(not recorder.active)
        if recorder.active:
            status.text = f"recording to {recorder.path}: {recorder.rows} packets"
        elif recorder.error:
            status.text = f"the recording stopped: {recorder.error}"
        else:
            status.text = "not recording"
        found = [(f.name, f.size) for f in recorder.files()]
        if found == listed["names"]:
            return
        listed["names"] = found
        files.clear()
        with files:
            for name, size in found:
                with ui.row().classes("items-center gap-4"):
                    # the name is a value, never parsed as the page's markup
                    link = ui.link(name, f"{session.files_url}/{urllib.parse.quote(name)}")
                    link.props["download"] = name
                    ui.label(f"{size / 1e6:.2f} MB").classes("text-sm text-gray-600")

    start.on_click(begin)
    stop.on_click(end)
    refresh()
    ui.timer(0.5, refresh)
