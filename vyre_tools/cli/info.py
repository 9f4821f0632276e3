"""vyre info: the device's identity, configuration and calibration."""

import argparse
import json
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from ..calibration_backup import CalibrationBackup

from ..procedures.formatting import num, vec
from .connection import Device, add_device_arguments, open_device

if TYPE_CHECKING:
    from vyre_client import CalibrationValues, DeviceConfig, DeviceInfo

    from .console import Ui


@dataclass
class DeviceState:
    info: "DeviceInfo"
    config: "DeviceConfig"
    calibration: "CalibrationValues"


def query(device: Device) -> DeviceState:
    """Everything the device tells about itself; a request it leaves
    unanswered ends the command."""
    c, t = device.client, device.timeout
    info = device.answer(c.get_device_info(timeout_seconds=t), "the device-info request")
    config = device.answer(c.get_device_config(timeout_seconds=t), "the configuration request")
    calibration = device.answer(c.get_calibration(timeout_seconds=t), "the calibration request")
    return DeviceState(info, config, calibration)


def protocol_name(protocol: object) -> str:
    return str(protocol).rpartition(".")[2]


def _matrix_rows(values: Sequence[float], decimals: int = 4) -> list[str]:
    return [" ".join(num(values[r * 3 + k], decimals).rjust(8) for k in range(3)) for r in range(3)]


def show(ui: "Ui", port: str, state: DeviceState) -> None:
    from rich import box
    from rich.table import Table

    ident = Table(title=f"Device on {port}", title_justify="left", show_header=False, box=box.SIMPLE)
    ident.add_column(style="bold")
    ident.add_column()
    ident.add_row("id", f"0x{state.info.id:016X} ({state.info.id})")
    ident.add_row("firmware", state.info.firmware_version)
    ident.add_row("name", state.config.name)
    ident.add_row("frequency", f"{state.config.frequency} Hz")
    ident.add_row("protocol", protocol_name(state.config.protocol))
    ui.print(ident)

    cal = state.calibration
    table = Table(title="Calibration", title_justify="left", box=box.SIMPLE_HEAD)
    table.add_column("sensor", style="bold")
    table.add_column("offsets", no_wrap=True)
    table.add_column("unit")
    table.add_column("scale matrix (rows)", no_wrap=True)
    for label, offsets, matrix, unit in (
        ("accelerometer", cal.imu_accelerometer_offsets, cal.imu_accelerometer_scale_matrix, "g"),
        ("gyroscope", cal.imu_gyroscope_offsets, cal.imu_gyroscope_scale_matrix, "deg/s"),
        ("magnetometer", cal.magnetometer_offsets, cal.magnetometer_scale_matrix, "µT"),
    ):
        table.add_row(label, vec(offsets, 3), unit, "\n".join(_matrix_rows(matrix)))
    ui.print(table)


def as_json(port: str, state: DeviceState) -> dict[str, Any]:
    """The state for scripts.  The id also as hex text: JSON readers that
    hold numbers as doubles cannot keep all 64 bits."""
    calibration = CalibrationBackup.from_values(state.calibration).as_json()
    return {
        "port": port,
        "id": state.info.id,
        "id_hex": f"0x{state.info.id:016X}",
        "firmware": state.info.firmware_version,
        "name": state.config.name,
        "frequency_hz": state.config.frequency,
        "protocol": protocol_name(state.config.protocol),
        "calibration": {name: calibration[name] for name in ("accelerometer", "gyroscope", "magnetometer")},
    }


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    p = sub.add_parser(
        "info",
        help="show device info, configuration and calibration",
        description="Show the device's id and firmware, its configuration "
        "(name, telemetry frequency, protocol) and its IMU and "
        "magnetometer calibration.",
    )
    p.add_argument(
        "--json",
        action="store_true",
        help="print one JSON object instead (calibration: offsets and row-major "
        "scale matrices; accelerometer in g, gyroscope in deg/s, "
        "magnetometer in µT)",
    )
    add_device_arguments(p)
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    if args.json:
        # nothing else on standard output, where a script reads the object
        with open_device(args) as device:
            state = query(device)
        print(json.dumps(as_json(device.port, state), indent=2))
        return 0
    from .console import Ui

    ui = Ui()
    with open_device(args, ui) as device:
        show(ui, device.port, query(device))
    return 0
