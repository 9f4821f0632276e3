"""vyre calibration save|load: both calibrations of a device (IMU and
magnetometer) to a JSON file and back (see vyre_tools.calibration_backup)."""

import argparse
from typing import cast

from ..calibration_backup import CalibrationBackup, write_calibration
from ..procedures import backups
from ..procedures.device_calls import run
from .connection import Device, add_device_arguments, open_device
from .errors import CliError


def add_parser(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    p = sub.add_parser(
        "calibration",
        help="save the device's calibrations to a file, or load them back",
        description="Back up both calibrations of the device (accelerometer and "
        "gyroscope, magnetometer) to a JSON file, and write such a "
        "backup back to the device.",
    )
    actions = p.add_subparsers(dest="action", metavar="ACTION")
    actions.required = True
    save = actions.add_parser(
        "save",
        help="write the device's calibrations to FILE",
        description="Write the device's calibrations, with its id and firmware, to FILE (JSON).",
    )
    save.add_argument("file", metavar="FILE", help="JSON file to write")
    add_device_arguments(save)
    save.set_defaults(run=run_save)
    load = actions.add_parser(
        "load",
        help="write the calibrations in FILE to the device",
        description="Write the calibrations saved in FILE to the device "
        "and read them back to check. A backup of another "
        "device (by its id) is refused unless --any-device.",
    )
    load.add_argument("file", metavar="FILE", help="JSON file from 'vyre calibration save'")
    load.add_argument("--any-device", action="store_true", help="load a backup saved from another device")
    add_device_arguments(load)
    load.set_defaults(run=run_load)


def read_backup(device: Device) -> CalibrationBackup:
    try:
        return run(backups.read_backup(device.timeout), device.client)
    except TimeoutError as e:
        raise CliError(f"{device.port}: {e}") from None


def run_save(args: argparse.Namespace) -> int:
    with open_device(args) as device:
        backup = read_backup(device)
    try:
        backup.save(args.file)
    except OSError as e:
        raise CliError(f"cannot write {args.file}: {e.strerror or e}") from None
    print(f"saved the calibrations of device 0x{backup.device_id:016X} to {args.file}")
    return 0


def run_load(args: argparse.Namespace) -> int:
    try:
        backup = CalibrationBackup.load(args.file)
    except OSError as e:
        raise CliError(f"cannot read {args.file}: {e.strerror or e}") from None
    except ValueError as e:
        raise CliError(f"{args.file}: {e}") from None
    with open_device(args) as device:
        # read with the device's identity: never None here
        present = cast(int, read_backup(device).device_id)
        if not args.any_device:
            try:
                backups.check_device(backup, present, args.file)
            except backups.OtherDevice as e:
                raise CliError(f"{e}; --any-device loads it anyway") from None
        try:
            # written, then read back until the device holds them
            write_calibration(device.client, backup, device.timeout)
        except OSError as e:
            raise CliError(f"the device on {device.port}: {e}") from None
    print(f"loaded the calibrations in {args.file} into device 0x{present:016X}")
    return 0
