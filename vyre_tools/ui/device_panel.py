"""The device view: identity, configuration edited and read back,
calibration values, and calibration backups saved and loaded."""

import datetime
import json
import os

from nicegui import events, ui

from ..calibration_backup import CalibrationBackup
from . import uploads
from .calibration_io import read_backup, write_held
from .cards import card, fields
from .format import device_id, matrix, vec
from .session import DeviceAway, DeviceSession

PROTOCOLS = ("USB", "UART", "I2C", "SPI")   # the device's values 1 to 4


def protocol_name(value: object) -> str:
    number = int(value)  # type: ignore[call-overload]
    return PROTOCOLS[number - 1] if 1 <= number <= len(PROTOCOLS) else str(number)


def config_text(session: DeviceSession) -> str:
    c = session.config
    if c is None:
        return "no configuration read"
    return f"name {c.name!r}, frequency {c.frequency}, protocol {protocol_name(c.protocol)}"


def build(session: DeviceSession) -> None:
    with card("Device"):
        ident, firmware, port = fields(["id", "firmware", "port"], {"id": "device-id"})

        def show_identity() -> None:
            info = session.info
            ident.text = device_id(info.id) if info else "-"
            firmware.text = info.firmware_version if info else "-"
            port.text = session.port or "-"
        show_identity()
        ui.timer(1.0, show_identity)

    with card("Configuration"):
        config = session.config
        with ui.row().classes("items-end"):
            name = ui.input("name", value=config.name if config else "").props(
                "data-testid=config-name maxlength=32")
            frequency = ui.number("frequency", value=config.frequency if config else 100,
                                  min=0, max=65535, step=1, format="%d").props(
                "data-testid=config-frequency")
            protocol = ui.select(list(PROTOCOLS), label="protocol",
                                 value=protocol_name(config.protocol) if config else "USB").props(
                "data-testid=config-protocol")
            apply = ui.button("Apply").props("data-testid=config-apply")
        answer = ui.label(f"the device answers: {config_text(session)}").props(
            "data-testid=config-answer")

        async def send() -> None:
            from vyre_client import DeviceProtocol
            apply.disable()
            try:
                client = session.client()
                accepted = await client.set_device_config(
                    name.value or "", int(frequency.value or 0),
                    getattr(DeviceProtocol, protocol.value), timeout_seconds=session.timeout)
                session.config = await client.get_device_config(timeout_seconds=session.timeout)
                verdict = "accepted" if accepted else "did not confirm"
                answer.text = f"the device {verdict}; it answers: {config_text(session)}"
            except (DeviceAway, OSError, OverflowError, ValueError) as e:
                ui.notify(f"configuration not sent: {e}", type="negative")
            finally:
                apply.enable()
        apply.on_click(send)

    with card("Calibration"):
        values = ui.column().classes("gap-0 font-mono text-sm")

        def show_calibration() -> None:
            values.clear()
            cal = session.calibration
            with values:
                if cal is None:
                    ui.label("not read")
                    return
                ui.label(f"accelerometer offsets {vec(cal.imu_accelerometer_offsets, 5)} g")
                ui.label(f"accelerometer matrix {matrix(cal.imu_accelerometer_scale_matrix)}")
                ui.label(f"gyroscope offsets {vec(cal.imu_gyroscope_offsets, 5)} deg/s")
                ui.label(f"gyroscope matrix {matrix(cal.imu_gyroscope_scale_matrix)}")
                ui.label(f"magnetometer offsets {vec(cal.magnetometer_offsets, 3)} µT").props(
                    "data-testid=mag-offsets")
                ui.label(f"magnetometer matrix {matrix(cal.magnetometer_scale_matrix)}")

        async def reread() -> None:
            try:
                session.calibration = await session.client().get_calibration(
                    timeout_seconds=session.timeout)
            except (DeviceAway, OSError) as e:
                ui.notify(f"calibration not read: {e}", type="negative")
            show_calibration()

        show_calibration()
        backups = os.path.join(session.data_dir, "backups")

        async def save() -> None:
            try:
                backup = await read_backup(session.client(), session.timeout)
            except (DeviceAway, OSError) as e:
                ui.notify(f"no backup made: {e}", type="negative")
                return
            os.makedirs(backups, exist_ok=True)
            stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
            path = os.path.join(backups, f"calibration-{stamp}.json")
            backup.save(path)
            ui.notify(f"saved {path}")
            ui.download.file(path)

        async def load(event: events.UploadEventArguments) -> None:
            try:
                backup = CalibrationBackup.from_json(json.loads(await uploads.text(
                    event, uploads.BACKUP_BYTES, "a calibration backup")))
                await write_held(session.client(), backup, timeout=session.timeout)
            except (DeviceAway, OSError, ValueError) as e:
                ui.notify(f"backup not loaded: {e}", type="negative")
                return
            ui.notify(f"the device holds the calibrations of {event.file.name}", type="positive")
            await reread()

        with ui.row().classes("items-center"):
            ui.button("Read again", on_click=reread)
            ui.button("Save backup", on_click=save)
            uploads.capped(ui.upload(label="Load backup (.json)", auto_upload=True,
                                     on_upload=load).props("accept=.json"),
                           uploads.BACKUP_BYTES, "a calibration backup")
