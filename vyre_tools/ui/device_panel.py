"""The device view: identity, configuration edited and read back,
calibration values, and calibration backups saved and loaded."""

import json

from nicegui import events, ui

from ..calibration_backup import CalibrationBackup
from ..procedures.backups import OtherDevice
from ..procedures.configuration import NAME_BYTES, PROTOCOLS, ConfigurationNotTaken, describe, protocol_name
from . import device_actions, uploads
from .cards import card, fields
from .format import device_id, matrix, vec
from .session import DeviceAway, DeviceBusy, DeviceSession

REFUSED = (DeviceAway, DeviceBusy, OSError, ValueError)  # what an action tells the page


def config_text(session: DeviceSession) -> str:
    return "no configuration read" if session.config is None else describe(session.config)


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
            name = ui.input("name", value=config.name if config else "").props("data-testid=config-name")
            # no min or max here: the page would clamp what was typed and send
            # another number than the user's; the shared checks refuse instead
            frequency = ui.number(
                "frequency", value=config.frequency if config else 100, step=1, format="%d"
            ).props("data-testid=config-frequency")
            protocol = (
                ui.select(
                    list(PROTOCOLS),
                    label="protocol",
                    value=protocol_name(config.protocol) if config else "USB",
                )
                .classes("min-w-[8rem]")
                .props("data-testid=config-protocol")
            )
            apply = ui.button("Apply").props("data-testid=config-apply")
        ui.label(f"name: at most {NAME_BYTES} bytes; frequency: 1 to 65535").classes("text-sm text-gray-600")
        answer = ui.label(f"the device answers: {config_text(session)}").props("data-testid=config-answer")
        # the configuration this form shows; another tab's change replaces it
        held: dict[str, object] = {"config": config}

        def follow() -> None:
            now = session.config
            if now is held["config"] or now is None:
                return
            held["config"] = now
            name.value, frequency.value = now.name, now.frequency
            protocol.value = protocol_name(now.protocol)
            answer.text = f"the device answers: {config_text(session)}"

        ui.timer(0.5, follow)

        async def send() -> None:
            apply.disable()
            try:
                now = await device_actions.apply_configuration(
                    session, name.value or "", frequency.value, protocol.value
                )
                answer.text = f"the device accepted; it answers: {now}"
            except ConfigurationNotTaken as e:
                answer.text = f"not taken: {e}; it answers: {config_text(session)}"
                ui.notify(f"configuration not taken: {e}", type="negative")
            except REFUSED as e:
                answer.text = f"not sent: {e}"
                ui.notify(f"configuration not sent: {e}", type="negative")
            finally:
                held["config"] = session.config  # this tab says how it went
                apply.enable()

        apply.on_click(send)

    with card("Calibration"):
        values = ui.column().classes("gap-0 font-mono text-sm")
        shown: dict[str, object] = {"calibration": object()}

        def show_calibration() -> None:
            cal = session.calibration
            if cal is shown["calibration"]:
                return
            shown["calibration"] = cal
            values.clear()
            with values:
                if cal is None:
                    ui.label("not read")
                    return
                ui.label(f"accelerometer offsets {vec(cal.imu_accelerometer_offsets, 5)} g")
                ui.label(f"accelerometer matrix {matrix(cal.imu_accelerometer_scale_matrix)}")
                ui.label(f"gyroscope offsets {vec(cal.imu_gyroscope_offsets, 5)} deg/s")
                ui.label(f"gyroscope matrix {matrix(cal.imu_gyroscope_scale_matrix)}")
                ui.label(f"magnetometer offsets {vec(cal.magnetometer_offsets, 3)} µT").props(
                    "data-testid=mag-offsets"
                )
                ui.label(f"magnetometer matrix {matrix(cal.magnetometer_scale_matrix)}")

        async def reread() -> None:
            try:
                await device_actions.read_calibration(session)
            except REFUSED as e:
                ui.notify(f"calibration not read: {e}", type="negative")
            show_calibration()

        show_calibration()
        ui.timer(1.0, show_calibration)  # another tab's action changes it too

        async def save() -> None:
            try:
                path = await device_actions.save_backup(session)
            except REFUSED as e:
                ui.notify(f"no backup made: {e}", type="negative")
                return
            ui.notify(f"saved {path}")
            ui.download.file(path)

        async def write(backup: CalibrationBackup, source: str, any_device: bool) -> None:
            try:
                await device_actions.load_backup(session, backup, source, any_device)
            except OtherDevice as e:
                ask_other_device(e, backup, source)
                return
            except REFUSED as e:
                ui.notify(f"backup not loaded: {e}", type="negative")
                return
            ui.notify(f"the device holds the calibrations of {source}", type="positive")
            show_calibration()

        def ask_other_device(e: OtherDevice, backup: CalibrationBackup, source: str) -> None:
            with ui.dialog() as dialog, ui.card():
                ui.label(f"{e}. Load it into this device anyway?").props("data-testid=backup-other-device")
                with ui.row():

                    async def anyway() -> None:
                        dialog.close()
                        await write(backup, source, True)

                    ui.button("Load it anyway", color="orange", on_click=anyway).props(
                        "data-testid=backup-load-anyway"
                    )
                    ui.button("Cancel", on_click=dialog.close)
            dialog.open()

        async def load(event: events.UploadEventArguments) -> None:
            try:
                backup = CalibrationBackup.from_json(
                    json.loads(await uploads.text(event, uploads.BACKUP_BYTES, "a calibration backup"))
                )
            except ValueError as e:
                ui.notify(f"backup not loaded: {e}", type="negative")
                return
            await write(backup, event.file.name, False)

        with ui.row().classes("items-center"):
            ui.button("Read again", on_click=reread)
            ui.button("Save backup", on_click=save)
            uploads.capped(
                ui.upload(
                    label=f"Load backup (.json, at most {uploads.size_text(uploads.BACKUP_BYTES)})",
                    auto_upload=True,
                    on_upload=load,
                ).props("accept=.json data-testid=backup-load"),
                uploads.BACKUP_BYTES,
                "a calibration backup",
            )
