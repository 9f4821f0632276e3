"""What the device view asks of the device: a configuration, the
calibration read again, backups saved and loaded. Each is an action of the
session (it claims the device first) built on the shared procedures, and
raises with a text the page shows as it is."""

import asyncio
import os
from typing import Any

from ..calibration_backup import CalibrationBackup
from ..procedures import backups, configuration
from ..procedures.device_calls import run_async
from .session import DeviceSession


async def _noticing(session: DeviceSession, work: Any) -> Any:
    try:
        return await work
    except OSError as e:
        await session.noticed(e)
        raise


async def apply_configuration(
    session: DeviceSession, name: object, frequency: object, protocol: object
) -> str:
    """Checks the values (ValueError saying why, nothing sent), writes them
    and reads them back; what the device reports. ConfigurationNotTaken for
    a refusal, no answer or a read-back that differs."""
    wanted = configuration.check(name, frequency, protocol)
    with session.claim("a configuration change"):
        client = session.client()
        session.frequency_changing(wanted.frequency)
        try:
            session.config = await _noticing(
                session, run_async(configuration.apply(wanted, session.timeout), client)
            )
        except configuration.ConfigurationNotTaken:
            # what the device holds now, whatever it took
            session.config = await client.get_device_config(timeout_seconds=session.timeout) or session.config
            raise
    return configuration.describe(session.config)


async def read_calibration(session: DeviceSession) -> None:
    """The device's calibration read again into ``session.calibration``."""
    with session.claim("reading the calibration"):
        values = await _noticing(session, session.client().get_calibration(timeout_seconds=session.timeout))
    if values is None:
        raise TimeoutError(f"the device did not answer within {session.timeout:g} s")
    session.calibration = values


async def save_backup(session: DeviceSession) -> str:
    """Both calibrations saved to a file of its own in the backups folder; its path."""
    with session.claim("saving a backup"):
        backup = await _noticing(session, run_async(backups.read_backup(session.timeout), session.client()))
    return await asyncio.to_thread(
        backups.save_new, backup, os.path.join(session.data_dir, "backups"), "calibration"
    )


async def load_backup(
    session: DeviceSession, backup: CalibrationBackup, source: str, any_device: bool = False
) -> None:
    """Writes both calibrations of ``backup`` until the device holds them.
    OtherDevice, before anything is written, when it was saved from another
    device (unless ``any_device``)."""
    if not any_device and session.info is not None:
        backups.check_device(backup, session.info.id, source)
    with session.claim("loading a backup"):
        client = session.client()
        await _noticing(session, run_async(backups.write_held(backup, timeout=session.timeout), client))
        session.calibration = (
            await client.get_calibration(timeout_seconds=session.timeout) or session.calibration
        )
