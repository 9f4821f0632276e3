"""Keep a device's calibrations safe: back them up, restore them, and never
let a magnetometer calibration run leave the device worse off.

``VYREClient.run_and_apply_magnetometer_calibration`` writes the neutral
calibration before it collects, so a run that fails, is interrupted or
fits badly leaves the device neutral, whatever good calibration it had.
Read the calibration first and put it back unless the new one is accepted::

    import vyre_client
    from vyre_tools.calibration_backup import MagnetometerRollback

    with vyre_client.VYREClient("/dev/ttyACM0") as client:
        with MagnetometerRollback(client) as rollback:    # reads the calibration now
            applied = client.run_and_apply_magnetometer_calibration(15.0)
            if applied and fit_is_good_enough():           # your own judgement
                rollback.accept()                          # keep the new calibration
        # not accepted, an exception, or Ctrl-C: the old calibration is back

``ImuRollback`` does the same for the IMU calibration (accelerometer and
gyroscope) around ``vyre calibrate-imu``'s run; both are a
``CalibrationRollback`` for their sensors.

How Ctrl-C reaches the run: the library's calls keep the interpreter lock
while they wait, but they run Python's signal handlers every ~50 ms, and a
handler that raises ends the wait with its exception.  With Python's default
handler one Ctrl-C therefore ends the collection with KeyboardInterrupt (a
handler that only takes note, and does not raise, lets the run go on to its
end).  The rollback then writes the old calibration back with Ctrl-C held
until the write is done, so a second Ctrl-C cannot cut the restore short; it
interrupts as usual once the calibration is back.

A write counts only once the device holds it: every write is read back with
``get_calibration`` and compared bit for bit as 32-bit floats, and written
again until it reads back right or ``timeout_seconds`` have passed.  An
acknowledgement alone proves nothing: a late answer to an earlier write of
the same kind is kept for the next one, which then returns at once while
its own command may still wait to be sent (and a client stopped right after
never sends it).  Should the restore fail (the device gone, late or holding
other values), ``CalibrationNotRestored`` names what the device holds and
carries the backup: save it with ``backup.save(path)`` and load it later.

``CalibrationBackup`` holds both calibrations a device has, the IMU's
(accelerometer offsets in g, gyroscope offsets in degrees/s) and the
magnetometer's (offsets in µT), each with its row-major 3×3 scale matrix,
and reads and writes them as JSON::

    backup = read_calibration(client)
    backup.save("bench-7.json")
    ...
    write_calibration(client, CalibrationBackup.load("bench-7.json"))

The numbers are the device's 32-bit floats; JSON keeps each exactly, so a
backup written back gives the device the very same bits.  Every value is
checked (a finite number within the 32-bit float range, three offsets and
nine matrix entries per sensor) before anything is written, so a bad backup
never leaves the device half loaded; ``CalibrationBackup.load`` raises
ValueError for any file that is not a backup.
"""

import contextlib
import datetime
import json
import math
import os
import signal
import struct
import threading
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from types import FrameType, TracebackType
from typing import TYPE_CHECKING, Any, Literal, Self

if TYPE_CHECKING:
    from vyre_client import CalibrationValues, DeviceInfo, VYREClient

FORMAT = "vyre-calibration"
VERSION = 1
# JSON section -> (offsets attribute, matrix attribute) of CalibrationValues
SENSORS = {
    "accelerometer": ("imu_accelerometer_offsets", "imu_accelerometer_scale_matrix"),
    "gyroscope": ("imu_gyroscope_offsets", "imu_gyroscope_scale_matrix"),
    "magnetometer": ("magnetometer_offsets", "magnetometer_scale_matrix"),
}


class CalibrationNotRestored(OSError):
    """The device may be left with another calibration than it had; ``backup``
    holds the one to put back.

    ``held``: the ``CalibrationValues`` the device read back last (its text
    names them), None when it did not answer the read-back."""

    def __init__(
        self, message: str, backup: "CalibrationBackup", held: "CalibrationValues | None" = None
    ) -> None:
        super().__init__(message)
        self.backup = backup
        self.held = held


@dataclass
class SensorCalibration:
    offsets: list[float]
    scale_matrix: list[float]

    def as_json(self) -> dict[str, list[float]]:
        return {"offsets": list(self.offsets), "scale_matrix": list(self.scale_matrix)}


@dataclass
class CalibrationBackup:
    accelerometer: SensorCalibration
    gyroscope: SensorCalibration
    magnetometer: SensorCalibration
    device_id: int | None = None
    firmware: str | None = None
    saved: str = field(
        default_factory=lambda: datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds")
    )

    @classmethod
    def from_values(cls, values: "CalibrationValues", info: "DeviceInfo | None" = None) -> Self:
        """From a ``CalibrationValues`` (and the ``DeviceInfo`` it came with)."""
        sensors: dict[str, Any] = {
            name: SensorCalibration(list(getattr(values, o)), list(getattr(values, m)))
            for name, (o, m) in SENSORS.items()
        }
        return cls(
            **sensors,
            device_id=None if info is None else info.id,
            firmware=None if info is None else info.firmware_version,
        )

    def as_json(self) -> dict[str, Any]:
        return {
            "format": FORMAT,
            "version": VERSION,
            "saved": self.saved,
            "device": {"id": self.device_id, "firmware": self.firmware},
            **{name: getattr(self, name).as_json() for name in SENSORS},
        }

    @classmethod
    def from_json(cls, data: object) -> Self:
        """ValueError naming what is wrong for anything but a backup."""
        if not isinstance(data, dict) or data.get("format") != FORMAT:
            raise ValueError(f"not a calibration backup (no \"format\": \"{FORMAT}\")")
        if data.get("version") != VERSION:
            raise ValueError(f"backup version {data.get('version')!r} is not {VERSION}")
        device = data.get("device") or {}
        if not isinstance(device, dict):
            raise ValueError("device must be an object")
        device_id = device.get("id")
        if device_id is not None and (
            not isinstance(device_id, int) or isinstance(device_id, bool) or not 0 <= device_id < 1 << 64
        ):
            raise ValueError("device id must be an integer of 64 bits")
        firmware = device.get("firmware")
        if firmware is not None and not isinstance(firmware, str):
            raise ValueError("device firmware must be a text")
        saved = data.get("saved", "")
        if not isinstance(saved, str):
            raise ValueError("saved must be a text")
        sensors = {
            name: SensorCalibration(
                _numbers(data, name, "offsets", 3), _numbers(data, name, "scale_matrix", 9)
            )
            for name in SENSORS
        }
        return cls(**sensors, device_id=device_id, firmware=firmware, saved=saved)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the backup as JSON; a file already there is replaced only
        once the new one is complete."""
        path = os.fspath(path)
        partial = f"{path}.partial"
        try:
            with open(partial, "w", encoding="utf-8") as f:
                json.dump(self.as_json(), f, indent=2)
                f.write("\n")
            os.replace(partial, path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(partial)
            raise

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Self:
        """The backup in ``path``; ValueError for any file that is not one
        (OSError when it cannot be read)."""
        with open(path, encoding="utf-8") as f:
            try:
                data = json.load(f)
            except RecursionError:
                raise ValueError("not a calibration backup: nested too deeply") from None
            except ValueError as e:  # bad JSON, bad UTF-8, a number of too many digits
                raise ValueError(f"not JSON: {e}") from None
        return cls.from_json(data)


def _numbers(data: dict[str, Any], sensor: str, key: str, count: int) -> list[float]:
    section = data.get(sensor)
    values = section.get(key) if isinstance(section, dict) else None
    return checked_values(values, f"{sensor}.{key}", count)


def checked_values(values: object, where: str, count: int) -> list[float]:
    """``values`` as ``count`` floats the device can hold (finite 32-bit
    floats); ValueError naming ``where`` otherwise."""
    if not isinstance(values, (list, tuple)) or len(values) != count:
        raise ValueError(f"{where} must be a list of {count} numbers")
    out = []
    for v in values:
        if not isinstance(v, (int, float)) or isinstance(v, bool):
            raise ValueError(f"{where} must hold numbers")
        try:
            f = float(v)
            struct.pack("<f", f)  # OverflowError beyond the 32-bit range
        except OverflowError:
            f = math.inf
        if not math.isfinite(f):
            raise ValueError(f"{where} must hold finite 32-bit floats (within ±3.4e38), not {v!r:.40}")
        out.append(f)
    return out


def check_backup(backup: CalibrationBackup, sensors: Sequence[str] = tuple(SENSORS)) -> None:
    """ValueError unless every value of ``backup`` (of its ``sensors``) fits the device."""
    for name in sensors:
        sensor = getattr(backup, name, None)
        if not isinstance(sensor, SensorCalibration):
            raise ValueError(f"{name} must be a SensorCalibration")
        checked_values(sensor.offsets, f"{name}.offsets", 3)
        checked_values(sensor.scale_matrix, f"{name}.scale_matrix", 9)


def _f32(values: Sequence[float]) -> bytes:
    return struct.pack(f"<{len(values)}f", *values)


def held_by_device(
    backup: CalibrationBackup, values: "CalibrationValues", sensors: Sequence[str] = tuple(SENSORS)
) -> bool:
    """Whether ``values`` (a ``CalibrationValues``) hold the ``sensors`` of
    ``backup`` bit for bit, as 32-bit floats."""
    return all(
        _f32(getattr(backup, name).offsets) == _f32(getattr(values, SENSORS[name][0]))
        and _f32(getattr(backup, name).scale_matrix) == _f32(getattr(values, SENSORS[name][1]))
        for name in sensors
    )


def describe_held(values: "CalibrationValues | None", sensors: Sequence[str]) -> str:
    """What the device reads back for ``sensors``, in a few words."""
    if values is None:
        return "the device did not answer the read-back"
    return "the device holds " + "; ".join(
        f"{name} offsets {_short(getattr(values, SENSORS[name][0]))} "
        f"matrix {_short(getattr(values, SENSORS[name][1]))}"
        for name in sensors
    )


def _short(values: Sequence[float]) -> str:
    return "[" + ", ".join(f"{v:.7g}" for v in values) + "]"


def read_calibration(client: "VYREClient", timeout_seconds: float = 5.0) -> CalibrationBackup:
    """Both calibrations and the identity of the device; TimeoutError when it
    does not answer."""
    from .procedures.backups import read_backup
    from .procedures.device_calls import run

    return run(read_backup(timeout_seconds), client)


def _write_held(
    client: "VYREClient", backup: CalibrationBackup, sensors: Sequence[str], timeout_seconds: float
) -> None:
    """Writes the ``sensors`` of ``backup`` until the device reads them back
    bit for bit, within ``timeout_seconds``; CalibrationNotRestored naming
    what it holds otherwise.  Nothing is written unless every value fits."""
    from .procedures.backups import write_held
    from .procedures.device_calls import run

    check_backup(backup, sensors)
    # where the client can say so, take no late answer of an earlier call
    # for this write's own (the read-back decides either way)
    keep = getattr(client, "keep_late_answers", None)
    if keep is not None:
        client.keep_late_answers = False
    try:
        run(write_held(backup, sensors, timeout_seconds), client)
    finally:
        if keep is not None:
            client.keep_late_answers = keep


def write_magnetometer_calibration(
    client: "VYREClient", sensor: SensorCalibration, timeout_seconds: float = 5.0
) -> None:
    """Writes one ``SensorCalibration`` to the magnetometer and reads it back;
    CalibrationNotRestored (an OSError) when the device does not hold it
    within ``timeout_seconds``, ValueError for values it cannot hold.
    Ctrl-C waits until the write is read back."""
    checked_values(sensor.offsets, "magnetometer.offsets", 3)
    checked_values(sensor.scale_matrix, "magnetometer.scale_matrix", 9)
    backup = CalibrationBackup(sensor, sensor, sensor)
    with interrupts_deferred():
        _write_held(client, backup, ("magnetometer",), timeout_seconds)


def write_imu_calibration(
    client: "VYREClient",
    accelerometer: SensorCalibration,
    gyroscope: SensorCalibration,
    timeout_seconds: float = 5.0,
) -> None:
    """Writes the IMU calibration (accelerometer and gyroscope) and reads it
    back; CalibrationNotRestored (an OSError) when the device does not hold
    it within ``timeout_seconds``, ValueError for values it cannot hold.
    Ctrl-C waits until the write is read back."""
    backup = CalibrationBackup(accelerometer, gyroscope, accelerometer)
    check_backup(backup)
    with interrupts_deferred():
        _write_held(client, backup, ("accelerometer", "gyroscope"), timeout_seconds)


def write_calibration(client: "VYREClient", backup: CalibrationBackup, timeout_seconds: float = 5.0) -> None:
    """Writes both calibrations of ``backup`` and reads them back;
    CalibrationNotRestored (an OSError) when the device does not hold them
    within ``timeout_seconds``, ValueError (before anything is written) for
    values it cannot hold.  Ctrl-C waits until both are read back."""
    with interrupts_deferred():
        _write_held(client, backup, tuple(SENSORS), timeout_seconds)


class CalibrationRollback:
    """``with CalibrationRollback(client, sensors) as rollback:`` puts the
    calibrations of ``sensors`` (names of ``SENSORS``) the device had on
    entry back on exit, unless ``rollback.accept()`` was called; see the
    module's documentation.  ``MagnetometerRollback`` and ``ImuRollback``
    are its two uses.

    ``backup``: one read already (skips the read on entry).  After the block,
    ``restored`` tells whether the device reads the old calibration back;
    CalibrationNotRestored when it does not within ``timeout_seconds``.

    ``client`` may also be a ``vyre_tools.aio.AsyncVYREClient``, used with
    ``async with``; ``restore``/``arestore`` put the calibration back at any
    time, through another client too (the device came back after an unplug)."""

    sensors: tuple[str, ...] = tuple(SENSORS)

    def __init__(
        self,
        client: Any,
        timeout_seconds: float = 5.0,
        backup: CalibrationBackup | None = None,
        sensors: Sequence[str] | None = None,
    ) -> None:
        if sensors is not None:
            unknown = set(sensors) - set(SENSORS)
            if unknown or not sensors:
                raise ValueError(f"sensors are some of {', '.join(SENSORS)}, not {sorted(unknown)}")
            self.sensors = tuple(sensors)
        self.client = client
        self.timeout_seconds = timeout_seconds
        self.backup = backup
        self.accepted = False
        self.restored = False

    def __enter__(self) -> Self:
        if self.backup is None:
            self.backup = read_calibration(self.client, self.timeout_seconds)
        return self

    def accept(self) -> None:
        self.accepted = True

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> Literal[False]:
        if self.accepted:
            return False
        # a Ctrl-C held meanwhile interrupts once ``restored`` tells the truth
        with interrupts_deferred():
            self._restored(self._restore_with(self.client), error)
        return False

    def restore(self, client: "VYREClient | None" = None) -> None:
        """Puts the saved calibration back now, accepted or not,
        through ``client`` (default: the one given; another one after the
        device came back); CalibrationNotRestored when the device does not
        hold it within ``timeout_seconds``."""
        with interrupts_deferred():
            self._restored(self._restore_with(client or self.client))

    async def arestore(self, client: Any = None) -> None:
        """``restore`` for a ``vyre_tools.aio.AsyncVYREClient`` (default: the
        one given), awaited on its event loop."""
        self._restored(await self._attempt(client or self.client))

    async def __aenter__(self) -> Self:
        """With an ``AsyncVYREClient``: ``async with MagnetometerRollback(client)`` (or any rollback)."""
        if self.backup is None:
            from .procedures.backups import read_backup
            from .procedures.device_calls import run_async

            self.backup = await run_async(read_backup(self.timeout_seconds), self.client)
        return self

    async def __aexit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> Literal[False]:
        if not self.accepted:
            self._restored(await self._attempt(self.client), error)
        return False

    def _restore_with(self, client: Any) -> BaseException | None:
        assert self.backup is not None  # read on entry
        try:
            _write_held(client, self.backup, self.sensors, self.timeout_seconds)
        except (OSError, ValueError) as e:  # ValueError: a backup the device cannot hold
            return e
        return None

    async def _attempt(self, client: Any) -> BaseException | None:
        from .procedures.backups import write_held
        from .procedures.device_calls import run_async

        assert self.backup is not None  # read on entry
        try:
            await run_async(write_held(self.backup, self.sensors, self.timeout_seconds), client)
        except (OSError, ValueError) as e:
            return e
        return None

    def _restored(self, failure: BaseException | None, cause: BaseException | None = None) -> None:
        assert self.backup is not None
        if failure is not None:
            self.restored = False
            raise CalibrationNotRestored(
                f"could not restore the previous {self.what} calibration ({failure})",
                self.backup,
                getattr(failure, "held", None),
            ) from cause
        self.restored = True

    @property
    def what(self) -> str:
        """The calibrations covered, in a word or two."""
        return " and ".join(dict.fromkeys("IMU" if s != "magnetometer" else s for s in self.sensors))


class MagnetometerRollback(CalibrationRollback):
    """``with MagnetometerRollback(client) as rollback:`` puts the
    magnetometer calibration the device had on entry back on exit, unless
    ``rollback.accept()`` was called (see ``CalibrationRollback``)."""

    sensors = ("magnetometer",)


class ImuRollback(CalibrationRollback):
    """``with ImuRollback(client) as rollback:`` puts the IMU calibration
    (accelerometer and gyroscope) the device had on entry back on exit,
    unless ``rollback.accept()`` was called (see ``CalibrationRollback``)."""

    sensors = ("accelerometer", "gyroscope")


@contextlib.contextmanager
def interrupts_deferred() -> Iterator[None]:
    """Ctrl-C within the block waits for its end, then interrupts as it
    would have (through the handler that was in place).  A block that raises
    drops the held Ctrl-C: its own exception already ends what it was in."""
    if threading.current_thread() is not threading.main_thread():
        yield  # signal handlers belong to the main thread
        return
    held: list[FrameType | None] = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: held.append(frame))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if not held:
        return
    if callable(previous):
        previous(signal.SIGINT, held[0])
    elif previous == signal.SIG_DFL:
        raise KeyboardInterrupt
