"""Replay of a mock log into the device's mock mode: the file, the speed,
the progress (records that left the host), stop, and the verdict, all as
``vyre replay`` has them (``procedures.replay``)."""

import asyncio
import os
from dataclasses import dataclass

from nicegui import events, ui

from ..procedures.replay import (
    ReplayError,
    ReplayPlan,
    ReplayProgress,
    ReplayResult,
    Verdict,
    replay_async,
    replay_plan,
)
from . import uploads
from .cards import card
from .session import Claim, DeviceAway, DeviceBusy, DeviceSession


@dataclass
class ReplayState:
    total: int = 0
    sent: int = 0  # records that left the host
    running: bool = False
    stop_asked: bool = False
    text: str = "no replay yet"
    verdict: Verdict | None = None  # of the last replay that ran to its end


def outcome(result: ReplayResult) -> str:
    """The verdict as the page shows it: a failure with its count."""
    if result.verdict == "failed":
        told = (
            "; the device left mock mode"
            if result.left_mock_mode
            else ""
            if result.failure is None
            else "; the device did not confirm leaving mock mode"
        )
        return f"failed: {result.problem}{told} ({result.summary()})"
    return f"{result.verdict}: {result.summary()}; the device left mock mode"


async def replay(
    session: DeviceSession, path: str, speed: float, realtime: bool, state: ReplayState
) -> ReplayResult:
    """Replays the log at ``path`` as an action of the session; ``state``
    follows it and asks it to stop. ReplayError when it could not begin
    (nothing was sent), DeviceBusy while another action has the device.
    The replay is the session's: the page that started it may go, and a
    server that stops ends it as a stop does."""
    plan = await asyncio.to_thread(replay_plan, path, speed, realtime)
    claim = session.claim("a mock log replay")  # DeviceBusy while another action runs
    state.total, state.sent, state.running, state.stop_asked = plan.total, 0, True, False
    state.text = f"starting the replay of {os.path.basename(path)}"
    return await asyncio.shield(session.spawn(_run(session, plan, claim, state), "vyre-ui replay"))


async def _run(session: DeviceSession, plan: ReplayPlan, claim: Claim, state: ReplayState) -> ReplayResult:
    name = os.path.basename(plan.path)

    def show(p: ReplayProgress) -> None:
        state.sent = p.left_host
        if p.phase == "ending":
            state.text = (
                f"{p.failure}; telling the device to leave mock mode"
                if p.failure
                else "telling the device to leave mock mode"
            )
        else:
            state.text = (
                f"replaying {name}: {p.left_host} of {p.total} records left the host"
                f" ({p.log_seconds:.1f} of {plan.log_seconds:.1f} s of log time)"
            )

    try:
        procedure = asyncio.ensure_future(
            replay_async(
                session.client(),
                plan,
                timeout=session.timeout,
                stop=lambda: state.stop_asked,
                on_progress=show,
            )
        )
        try:
            result = await asyncio.shield(procedure)
            _record(result, state)
        except asyncio.CancelledError:
            # the server is stopping: end as a stop does, so that the device is
            # told to leave mock mode before its client closes
            state.stop_asked = True
            await asyncio.wait([procedure])
            if not procedure.cancelled() and procedure.exception() is None:
                _record(procedure.result(), state)
            raise
    except ReplayError as e:  # the device did not enter mock mode: nothing was sent
        state.text = f"not started: {e}"
        await session.noticed(e)
        raise
    except OSError as e:
        state.text = f"the replay failed: {e}"
        await session.noticed(e)
        raise
    finally:
        state.running = False
        claim.release(state.text)
    if result.failure is not None:
        await session.noticed(ConnectionError(result.failure))  # a lost link, if it was one
    return result


def _record(result: ReplayResult, state: ReplayState) -> None:
    state.sent, state.verdict, state.text = result.left_host or 0, result.verdict, outcome(result)


def build(session: DeviceSession) -> None:
    logs = os.path.join(session.data_dir, "logs")
    state = session.state("replay", ReplayState)  # every tab shows the one replay
    with card("Replay a mock log"):
        with ui.row().classes("items-end w-full"):
            path = (
                ui.input("mock log file (on this machine)")
                .classes("w-full sm:w-[28rem]")
                .props("data-testid=replay-path")
            )
            speed = ui.number("speed", value=1.0, min=0.01, step=0.5)
            realtime = ui.switch("paced by the log's clock", value=True)
        with ui.row().classes("items-center"):
            start = ui.button("Replay").props("data-testid=replay-start")
            stop = ui.button("Stop", color="red")

        async def take(event: events.UploadEventArguments) -> None:
            try:
                path.value = await uploads.save(
                    event, logs, uploads.MOCK_LOG_BYTES, "a mock log", default="upload.log"
                )
            except (OSError, ValueError) as e:
                ui.notify(f"not uploaded: {e}", type="negative")

        uploads.capped(
            ui.upload(
                label=f"or upload one (at most {uploads.size_text(uploads.MOCK_LOG_BYTES)})",
                auto_upload=True,
                on_upload=take,
            ),
            uploads.MOCK_LOG_BYTES,
            "a mock log",
        )
        progress = ui.linear_progress(value=0.0, show_value=False).classes("w-full")
        status = ui.label().props("data-testid=replay-status")

    async def go() -> None:
        if state.running:
            return
        try:
            await replay(
                session,
                path.value or "",
                1.0 if speed.value is None else float(speed.value),
                realtime.value,
                state,
            )
        except (DeviceBusy, ReplayError) as e:
            ui.notify(f"not started: {e}", type="negative")
        except (DeviceAway, OSError) as e:
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
