"""Replay of a mock log into the device's mock mode: the file, the speed,
the progress (read off the log's clock, as ``vyre replay`` does), stop."""

import asyncio
import os
import time
from dataclasses import dataclass
from typing import Any

from nicegui import events, ui

from ..cli.logfile import scan_file
from ..cli.replay import LINK_POLL_SECONDS, Schedule
from . import uploads
from .cards import card
from .session import DeviceAway, DeviceBusy, DeviceSession

POLL_SECONDS = 0.1


@dataclass
class ReplayState:
    total: int = 0
    sent: int = 0
    running: bool = False
    stop_asked: bool = False
    text: str = "no replay yet"


async def replay(session: DeviceSession, path: str, speed: float, realtime: bool,
                 state: ReplayState) -> None:
    """Streams the log at ``path``; ``state`` follows it and asks it to stop."""
    summary: Any = scan_file(path)  # type: ignore[no-untyped-call]  # ValueError: no mock log
    if summary.records == 0:
        raise ValueError(f"{path} holds no records to replay")
    schedule: Any = Schedule(summary, speed, realtime, session.baud)  # type: ignore[no-untyped-call]
    claim = session.claim("a mock log replay")  # DeviceBusy while another action runs
    client = session.client()
    state.total, state.sent, state.running, state.stop_asked = summary.records, 0, True, False
    try:
        # the closing cancel is sent here once the frames are out: the
        # library's own would overtake frames still waiting for the link
        await client.start_mock_log_stream(path, realtime=realtime, speed=speed,
                                           start_timeout_seconds=session.timeout,
                                           cancel_on_finish=False)
        began = time.monotonic()
        while await client.is_mock_log_streaming() and not state.stop_asked:
            state.sent = schedule.sent_at(time.monotonic() - began)
            state.text = f"replaying {os.path.basename(path)}: {state.sent} of {state.total} records"
            await asyncio.sleep(POLL_SECONDS)
        sent = await client.stop_mock_log_stream(cancel_device=state.stop_asked, block=True) or 0
        if not state.stop_asked:
            deadline = time.monotonic() + session.timeout + 2 * schedule.link_seconds(sent)
            while await client.mock_frames_waiting() and time.monotonic() < deadline:
                await asyncio.sleep(LINK_POLL_SECONDS)
        left = await client.cancel(timeout_seconds=session.timeout)
        state.sent = sent
        how = "stopped" if state.stop_asked else "replayed"
        state.text = (f"{how}: {sent} of {state.total} records in "
                      f"{time.monotonic() - began:.1f} s; "
                      + ("the device left mock mode" if left else
                         "the device did not confirm leaving mock mode"))
    except OSError as e:
        await session.noticed(e)
        raise
    finally:
        state.running = False
        claim.release()


def build(session: DeviceSession) -> None:
    logs = os.path.join(session.data_dir, "logs")
    state = session.state("replay", ReplayState)  # every tab shows the one replay
    with card("Replay a mock log"):
        with ui.row().classes("items-end w-full"):
            path = ui.input("mock log file (on this machine)").classes("min-w-[28rem]").props(
                "data-testid=replay-path")
            speed = ui.number("speed", value=1.0, min=0.01, step=0.5)
            realtime = ui.switch("paced by the log's clock", value=True)
        with ui.row().classes("items-center"):
            start = ui.button("Replay").props("data-testid=replay-start")
            stop = ui.button("Stop", color="red")

        async def take(event: events.UploadEventArguments) -> None:
            try:
                path.value = await uploads.save(event, logs, uploads.MOCK_LOG_BYTES,
                                                "a mock log", default="upload.log")
            except (OSError, ValueError) as e:
                ui.notify(f"not uploaded: {e}", type="negative")

        uploads.capped(ui.upload(label="or upload one", auto_upload=True, on_upload=take),
                       uploads.MOCK_LOG_BYTES, "a mock log")
        progress = ui.linear_progress(value=0.0, show_value=False).classes("w-full")
        status = ui.label().props("data-testid=replay-status")

    async def go() -> None:
        if state.running:
            return
        if not os.path.isfile(path.value or ""):
            ui.notify(f"no such file: {path.value}", type="negative")
            return
        try:
            await replay(session, path.value, float(speed.value or 1.0), realtime.value, state)
        except DeviceBusy as e:
            ui.notify(f"not started: {e}", type="negative")
        except (DeviceAway, OSError, ValueError) as e:
            state.text = f"the replay failed: {e}"

    def ask_stop() -> None:
        state.stop_asked = True

    def refresh() -> None:
        progress.value = state.sent / state.total if state.total else 0.0
        status.text = state.text
        start.set_enabled(not state.running and session.busy is None)
        stop.set_enabled(state.running)

    start.on_click(go)
    stop.on_click(ask_stop)
    ui.timer(0.2, refresh)
