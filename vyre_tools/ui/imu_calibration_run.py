"""The control center's accelerometer and gyroscope calibration: the run,
its state and its outcome, kept by the session so that every tab shows the
same.  The steps and the verdict are ``procedures.imu_calibration_run``'s,
as ``vyre calibrate-imu``'s.

The calibrations the device had are read and saved to a file of their own
before anything is written; a run that fails or is refused puts the IMU
calibration back through ``ImuRollback``.  A good fit is written and read
back; the user then keeps it or rolls back."""

import asyncio
import os
from dataclasses import dataclass

from ..calibration_backup import ImuRollback
from ..procedures import backups
from ..procedures.device_calls import run_async
from ..procedures.imu_calibration import ImuFit
from ..procedures.imu_calibration_run import ImuCalibration, ImuProgress
from .session import Claim, DeviceSession

NAME = "the IMU calibration"
POLL_SECONDS = 0.25


@dataclass
class ImuRun:
    """What the pages show. ``phase``: ready, collecting, judged, kept,
    rolled back or failed."""

    phase: str = "ready"
    text: str = ""
    progress: ImuProgress | None = None
    fit: ImuFit | None = None
    backup_path: str | None = None
    rollback: ImuRollback | None = None
    claim: Claim | None = None
    finish: bool = False  # the user asked to fit what was held so far


def state(session: DeviceSession) -> ImuRun:
    """The session's IMU calibration run (made on first use)."""
    return session.state("imu calibration", ImuRun)


def start(session: DeviceSession, max_seconds: float, poses: int = 12) -> None:
    """Claims the device and starts a run of at most ``max_seconds``;
    DeviceBusy or DeviceAway when it cannot, ValueError for bad settings."""
    run = state(session)
    if not 5 <= max_seconds <= 600:
        raise ValueError(f"the collection lasts 5 to 600 s, not {max_seconds:g}")
    run.claim = session.claim(NAME)  # before the first await: one run at a time
    run.phase, run.text, run.fit, run.progress, run.finish = (
        "collecting",
        "reading the calibration",
        None,
        None,
        False,
    )
    session.spawn(_run(session, run, max_seconds, poses), "vyre-ui imu calibration")


def finish(session: DeviceSession) -> None:
    """Ends the collection now; the fit is made from what was held."""
    state(session).finish = True


async def _run(session: DeviceSession, run: ImuRun, max_seconds: float, poses: int) -> None:
    assert run.claim is not None
    procedure: ImuCalibration | None = None
    try:
        client = session.client()
        backup = await run_async(backups.read_backup(session.timeout), client)
        run.backup_path = await asyncio.to_thread(
            backups.save_new, backup, os.path.join(session.data_dir, "backups"), "before-imu-calibration"
        )
        run.rollback = ImuRollback(client, session.timeout, backup)
        procedure = ImuCalibration(session.timeout, backup, poses, max_seconds)
        run.text = "writing the neutral calibration"
        await run_async(procedure.prepare(), client)
        session.taps.append(procedure.add)
        run.text = ""
        while True:
            run.progress = await asyncio.to_thread(procedure.progress)
            if run.progress.complete or procedure.timed_out or run.finish:
                break
            await asyncio.sleep(POLL_SECONDS)
        session.taps.remove(procedure.add)
        run.text = "fitting"
        fit = run.fit = await asyncio.to_thread(procedure.fit)
        if not fit.good:
            await _restore(session, run, f"refused: {fit.reason}: {fit.detail}")
            return
        await run_async(procedure.apply(fit), client)
        session.calibration = await client.get_calibration(timeout_seconds=session.timeout)
        run.phase, run.text = "judged", "written and read back: keep it or roll back"
        _release(run)
    except BaseException as e:
        await session.noticed(e)
        why = "the run was stopped" if isinstance(e, asyncio.CancelledError) else f"the run failed ({e})"
        await _restore(session, run, why)
        if not isinstance(e, Exception):
            raise
    finally:
        if procedure is not None and procedure.add in session.taps:
            session.taps.remove(procedure.add)


async def _restore(session: DeviceSession, run: ImuRun, why: str) -> None:
    if run.rollback is None:  # nothing was written yet
        run.text = f"{why}; the device keeps its calibration"
    else:
        try:
            await run.rollback.arestore(session.client())
            session.calibration = await session.client().get_calibration(timeout_seconds=session.timeout)
            run.text = f"{why}; the previous calibration is back on the device (read back and checked)"
        except Exception as e:
            await session.noticed(e)
            run.text = (
                f"{why}; putting the previous calibration back failed ({e}): it is saved in {run.backup_path}"
            )
    run.phase = "failed"
    _release(run)


def _release(run: ImuRun) -> None:
    if run.claim is not None:
        run.claim.release()
        run.claim = None


def keep(session: DeviceSession) -> None:
    run = state(session)
    if run.phase != "judged" or run.rollback is None:
        raise ValueError("there is no new calibration to keep")
    run.rollback.accept()
    run.phase = "kept"
    run.text = f"kept: the device holds the new calibration; the previous one is saved in {run.backup_path}"


async def roll_back(session: DeviceSession) -> None:
    """Puts the IMU calibration from before the run back; DeviceBusy,
    DeviceAway or OSError when it could not."""
    run = state(session)
    if run.phase not in ("judged", "kept") or run.rollback is None:
        raise ValueError("there is no calibration run to roll back")
    await session.restore(run.rollback, "rolling the IMU calibration back")
    run.phase = "rolled back"
    run.text = "rolled back: the device holds the calibration it had before"
