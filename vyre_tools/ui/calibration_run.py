"""The control center's magnetometer calibration: the run, its state and its
outcome, kept by the session so that every tab shows the same.

The calibration the device had is read and saved to a file of its own
before anything is written; a run that fails puts it back through
``MagnetometerRollback``, at once, or, when the device was unplugged, as
soon as the same device is back (the device stays claimed until then).
After a run that worked the user keeps the new one or rolls back."""

import asyncio
import os
import time
from dataclasses import dataclass

from ..calibration_backup import MagnetometerRollback
from ..procedures import backups
from ..procedures.device_calls import run_async
from ..procedures.magnetometer_calibration import (
    CalibrationFailed,
    MagnetometerCalibration,
    Progress,
    Verdict,
)
from .session import Claim, DeviceAway, DeviceSession

ARRIVAL_SECONDS = 2.0  # for the packets of the window to come through the consumer
NAME = "the magnetometer calibration"


@dataclass
class CalibrationRun:
    """What the pages show. ``phase``: ready, collecting, judged, kept,
    rolled back, failed, or waiting (the device is away and gets its
    previous calibration back when it returns)."""

    phase: str = "ready"
    text: str = ""
    duration: float = 0.0
    began: float = 0.0
    verdict: Verdict | None = None
    backup_path: str | None = None
    rollback: MagnetometerRollback | None = None
    claim: Claim | None = None
    procedure: MagnetometerCalibration | None = None

    def collected(self) -> Progress | None:
        """The collection so far, once it has begun (and after it, its last state)."""
        if self.procedure is None or self.procedure.began is None:
            return None
        return self.procedure.progress()

    def progress(self) -> float:
        if self.phase != "collecting" or not self.began or not self.duration:
            return 1.0 if self.phase == "judged" else 0.0
        return min(1.0, (time.time() - self.began) / self.duration)


def state(session: DeviceSession) -> CalibrationRun:
    """The session's calibration run (made on first use)."""
    made = False

    def make() -> CalibrationRun:
        nonlocal made
        made = True
        return CalibrationRun()

    run = session.state("magnetometer calibration", make)
    if made:
        session.on_return.append(lambda: _put_back_on_return(session, run))
    return run


def start(session: DeviceSession, duration: float) -> None:
    """Claims the device and starts a run of ``duration`` seconds, which
    goes on whatever the pages do; DeviceBusy or DeviceAway when it cannot."""
    run = state(session)
    if not 1 <= duration <= 600:
        raise ValueError(f"the collection lasts 1 to 600 s, not {duration:g}")
    run.claim = session.claim(NAME)  # before the first await: one run at a time
    run.phase, run.text, run.verdict, run.began = "collecting", "reading the calibration", None, 0.0
    run.procedure = None
    run.duration = duration
    session.spawn(_run(session, run), "vyre-ui calibration")


async def _run(session: DeviceSession, run: CalibrationRun) -> None:
    assert run.claim is not None
    procedure = run.procedure = MagnetometerCalibration(run.duration, session.timeout)
    try:
        client = session.client()
        backup = await run_async(backups.read_backup(session.timeout), client)
        run.backup_path = await asyncio.to_thread(
            backups.save_new,
            backup,
            os.path.join(session.data_dir, "backups"),
            "before-magnetometer-calibration",
        )
        run.rollback = MagnetometerRollback(client, session.timeout, backup)
        # every batch the session reads, while the library's call has the client
        session.taps.append(procedure.take)
        run.text = ""
        await run_async(procedure.prepare(), client)
        run.began = time.time()
        await run_async(procedure.collect(), client)
        deadline = time.monotonic() + ARRIVAL_SECONDS
        while not procedure.window_closed and time.monotonic() < deadline:
            await asyncio.sleep(0.02)
        values = await run_async(procedure.read_back(), client)
        run.verdict = procedure.judge(procedure.samples, values)
        session.calibration = values
        run.phase = "judged"
        run.claim.release(f"verdict: {'good' if run.verdict.good else 'poor'}, to keep or roll back")
    except BaseException as e:
        await _failed(session, run, e)
        if not isinstance(e, Exception):
            raise
    finally:
        if procedure.take in session.taps:
            session.taps.remove(procedure.take)


def _why(error: BaseException) -> str:
    if isinstance(error, CalibrationFailed):
        return str(error)
    if isinstance(error, asyncio.CancelledError):
        return "the run was stopped"
    return f"the run failed ({error})"


async def _failed(session: DeviceSession, run: CalibrationRun, error: BaseException) -> None:
    why = _why(error)
    await session.noticed(error)
    if run.rollback is None:  # nothing was written yet
        run.phase, run.text = "failed", f"{why}; the device keeps its calibration"
        _release(run)
        return
    if not session.connected:
        run.phase = "waiting"
        run.text = (
            f"{why}; the device is away: its previous calibration goes back on it "
            f"when it returns (saved in {run.backup_path})"
        )
        return  # still claimed: nothing else may write to it before the restore
    await _restore(session, run, why)


async def _restore(session: DeviceSession, run: CalibrationRun, why: str) -> None:
    assert run.rollback is not None
    try:
        await run.rollback.arestore(session.client())
        session.calibration = await session.client().get_calibration(timeout_seconds=session.timeout)
        run.text = f"{why}; the previous calibration is back on the device (read back and checked)"
    except (DeviceAway, OSError) as e:
        await session.noticed(e)
        if not session.connected:
            run.phase = "waiting"
            run.text = (
                f"{why}; the device went away before its previous calibration was "
                f"back: it goes back when the device returns (saved in {run.backup_path})"
            )
            return
        run.text = (
            f"{why}; putting the previous calibration back failed ({e}): it is saved in {run.backup_path}"
        )
    run.phase = "failed"
    _release(run)


async def _put_back_on_return(session: DeviceSession, run: CalibrationRun) -> None:
    if run.phase != "waiting":
        return
    await _restore(session, run, f"the device came back {session.back_text}")


def _release(run: CalibrationRun) -> None:
    if run.claim is not None:
        run.claim.release(run.text)
        run.claim = None


def keep(session: DeviceSession) -> None:
    run = state(session)
    if run.phase != "judged":
        raise ValueError("there is no new calibration to keep")
    assert run.rollback is not None
    run.rollback.accept()
    session.outcome = f"{NAME}: kept"
    run.phase = "kept"
    run.text = f"kept: the device holds the new calibration; the previous one is saved in {run.backup_path}"


async def roll_back(session: DeviceSession) -> None:
    """Puts the calibration from before the run back; DeviceBusy, DeviceAway
    or OSError when it could not."""
    run = state(session)
    if run.phase not in ("judged", "kept") or run.rollback is None:
        raise ValueError("there is no calibration run to roll back")
    await session.restore(run.rollback, "rolling the magnetometer calibration back")
    run.phase = "rolled back"
    run.text = "rolled back: the device holds the calibration it had before"
