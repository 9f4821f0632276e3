"""Calibrations are never lost: backups to JSON and back, and magnetometer
calibration runs that end any way but well leave the device as it was.
Each command runs in a child process against the simulated device."""

import contextlib
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from vyre_tools.calibration_backup import interrupts_deferred
from vyre_tools.sim import Simulator

from .cli_support import (
    assert_one_line_error,
    cli_env,
    client_ready,  # noqa: F401
    run_vyre,
    start_vyre,
)

pytestmark = pytest.mark.usefixtures("client_ready")

# exact as 32-bit floats, so the device gives back the very numbers
CALIBRATION = {
    "accelerometer": {
        "offsets": [0.015625, -0.03125, 0.5],
        "scale_matrix": [1.0078125, 0.0, 0.0, 0.0, 0.99609375, 0.0, 0.0, 0.0, 1.0],
    },
    "gyroscope": {
        "offsets": [0.25, -1.5, 0.125],
        "scale_matrix": [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0],
    },
    "magnetometer": {
        "offsets": [11.5, -6.75, 4.25],
        "scale_matrix": [
            0.9375,
            -0.046875,
            0.03125,
            -0.046875,
            1.0625,
            -0.03125,
            0.03125,
            -0.03125,
            0.984375,
        ],
    },
}


def load_backup(sim, tmp_path):
    """Gives the simulated device CALIBRATION through `vyre calibration load`."""
    path = tmp_path / "backup.json"
    path.write_text(json.dumps({"format": "vyre-calibration", "version": 1, **CALIBRATION}))
    proc = run_vyre("calibration", "load", path, "--port", sim.port_name)
    assert proc.returncode == 0, proc.stderr
    return path


def magnetometer_on(sim):
    cal = sim.status()["mag_calibration"]
    return {"offsets": cal["offsets"], "scale_matrix": cal["matrix"]}


def test_save_and_load_carry_both_calibrations_between_devices(tmp_path):
    saved = tmp_path / "saved.json"
    with Simulator.spawn(device_id=0xB0B) as first:
        load_backup(first, tmp_path)
        proc = run_vyre("calibration", "save", saved, "--port", first.port_name)
        assert proc.returncode == 0, proc.stderr
    data = json.loads(saved.read_text())
    assert {k: data[k] for k in CALIBRATION} == CALIBRATION
    assert data["device"]["id"] == 0xB0B

    with Simulator.spawn(device_id=0xA11CE) as second:
        # another device's backup is refused unless asked for
        refused = run_vyre("calibration", "load", saved, "--port", second.port_name)
        assert_one_line_error(refused, 1, "0x0000000000000B0B", "--any-device")
        assert magnetometer_on(second)["offsets"] == [0.0, 0.0, 0.0]
        proc = run_vyre("calibration", "load", saved, "--any-device", "--port", second.port_name)
        assert proc.returncode == 0, proc.stderr
        s = second.status()
        assert magnetometer_on(second) == CALIBRATION["magnetometer"]
        imu = s["imu_calibration"]
        assert [imu["accel_offsets"], imu["accel_matrix"], imu["gyro_offsets"], imu["gyro_matrix"]] == [
            CALIBRATION[a][b] for a in ("accelerometer", "gyroscope") for b in ("offsets", "scale_matrix")
        ]


# the pattern the documentation gives scripts, under Python's own Ctrl-C handler
SCRIPT = """
import sys, vyre_client
from vyre_tools.calibration_backup import MagnetometerRollback
with vyre_client.VYREClient(sys.argv[1]) as client:
    try:
        with MagnetometerRollback(client) as rollback:
            if client.run_and_apply_magnetometer_calibration(60.0):
                rollback.accept()
    except KeyboardInterrupt:
        print("interrupted; restored:", rollback.restored)
"""
VYRE_SAYS = "vyre: calibration interrupted; the device keeps its previous calibration\n"


@pytest.mark.parametrize(
    "command,signals,status,said",
    [
        ("vyre", 1, 130, VYRE_SAYS),
        ("vyre", 2, 130, VYRE_SAYS),
        ("script", 1, 0, "interrupted; restored: True\n"),
    ],
    ids=["ctrl-c", "double-ctrl-c", "script"],
)
def test_ctrl_c_stops_a_calibration_and_restores_the_previous_one(tmp_path, command, signals, status, said):
    # answers come late, so that the second Ctrl-C lands while the previous
    # calibration is being written back
    with Simulator.spawn(rate=400, answer_delay=0.3) as sim:
        load_backup(sim, tmp_path)
        # vyre writes the neutral calibration itself, then the library does
        collecting = sim.status()["commands_by_id"].get("6", 0) + (2 if command == "vyre" else 1)
        if command == "vyre":
            proc = start_vyre("calibrate-mag", "--port", sim.port_name, "--duration", "60", "--lead-in", "0")
        else:
            proc = subprocess.Popen(
                [sys.executable, "-c", SCRIPT, sim.port_name],
                text=True,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                env=cli_env(),
            )
        try:
            sim.wait_status(lambda s: s["commands_by_id"].get("6", 0) >= collecting, timeout=60)
            time.sleep(0.5)
            for _ in range(signals):
                proc.send_signal(signal.SIGINT)
                time.sleep(0.1)
            out, err = proc.communicate(timeout=30)  # far within the 60 s collection
        finally:
            proc.kill()
        assert proc.returncode == status, err
        assert "Traceback" not in out + err
        assert (err if command == "vyre" else out) == said
        assert "Calibration result:" not in out
        assert magnetometer_on(sim) == CALIBRATION["magnetometer"]


@pytest.mark.parametrize("force", [False, True], ids=["refused", "forced"])
def test_a_calibration_short_of_the_thresholds_is_refused_unless_forced(tmp_path, force):
    # the tumble at 2.5 times its pace: 1.6 s of it cover what 4 s at its own pace do
    with Simulator.spawn(rate=400, tumble_rates=(75, 180, 475)) as sim:
        load_backup(sim, tmp_path)
        proc = run_vyre(
            "calibrate-mag",
            "--port",
            sim.port_name,
            "--duration",
            "1.6",
            "--lead-in",
            "0",
            "--min-coverage",
            "95",
            *(["--force"] if force else []),
        )
        out = proc.stdout
        # the numbers judged and the thresholds are shown either way
        assert "kept if it covers at least 95 % of the directions and spreads at most 2 %" in out
        assert "Magnetometer fit" in out  # the library did write its fit
        if force:
            assert proc.returncode == 0, proc.stderr
            assert magnetometer_on(sim)["offsets"] == pytest.approx([12.0, -7.0, 4.0], abs=0.5)
        else:
            assert_one_line_error(
                proc,
                1,
                "calibration refused: it covered",
                "95 % needed",
                "the device keeps its previous calibration",
                "--force",
            )
            assert magnetometer_on(sim) == CALIBRATION["magnetometer"]


def test_ctrl_c_waits_for_the_end_of_a_restore_then_interrupts():
    written = []
    with pytest.raises(KeyboardInterrupt):
        with interrupts_deferred():
            os.kill(os.getpid(), signal.SIGINT)
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.05)  # handlers run between bytecodes: give them the chance
            written.append("calibration")
    assert written == ["calibration"]
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


@pytest.mark.parametrize(
    "how,device",
    [
        ("rollback", "late"),
        ("rollback", "silent"),
        ("write_calibration", "late"),
        ("write_calibration", "silent"),
    ],
)
def test_a_restore_counts_only_once_the_device_holds_it(tmp_path, how, device):
    """An earlier write's late acknowledgement waits for the restore's own
    call, which takes it: the restore is done only when the device reads
    the old values back (a device that went silent never does)."""
    import vyre_client
    from vyre_tools.calibration_backup import (
        CalibrationBackup,
        CalibrationNotRestored,
        MagnetometerRollback,
        write_calibration,
    )

    new = {"offsets": [1.0, 2.0, 3.0], "scale_matrix": [2.0, 0, 0, 0, 2.0, 0, 0, 0, 2.0]}
    with Simulator.spawn(rate=50, answer_delay=0.4) as sim:
        backup = CalibrationBackup.load(load_backup(sim, tmp_path))
        rollback = MagnetometerRollback(None, timeout_seconds=1.5, backup=backup)
        with (
            pytest.raises(CalibrationNotRestored) if device == "silent" else contextlib.nullcontext()
        ) as failed:
            with vyre_client.VYREClient(sim.port_name) as client:
                rollback.client = client
                with rollback if how == "rollback" else contextlib.nullcontext():
                    answered = client.link_statistics()["response_frames"]
                    assert not client.set_magnetometer_calibration(*new.values(), timeout_seconds=0.05)
                    while client.link_statistics()["response_frames"] == answered:
                        time.sleep(0.01)  # the late acknowledgement is in, unclaimed
                    if device == "silent":
                        sim.set_silent(True)
                    if how == "write_calibration":
                        write_calibration(client, backup, timeout_seconds=1.5)
        held = magnetometer_on(sim)
    if device == "late":
        assert held == CALIBRATION["magnetometer"]
        assert how == "write_calibration" or rollback.restored
    else:
        assert held == new and not rollback.restored
        assert "did not answer the read-back" in str(failed.value)
        assert failed.value.backup is backup


BAD_BACKUPS = {
    "beyond float32": ("magnetometer", "offsets", [1e39, 0.0, 0.0]),
    "huge integer": ("gyroscope", "offsets", [10**400, 0, 0]),
}


@pytest.mark.parametrize("bad", BAD_BACKUPS, ids=list(BAD_BACKUPS))
def test_a_bad_backup_is_refused_before_anything_is_written(tmp_path, bad):
    from vyre_tools.calibration_backup import CalibrationBackup

    sensor, key, values = BAD_BACKUPS[bad]
    data = {"format": "vyre-calibration", "version": 1, **json.loads(json.dumps(CALIBRATION))}
    data[sensor][key] = values
    path = tmp_path / "bad.json"
    path.write_text(json.dumps(data))
    with pytest.raises(ValueError, match=f"{sensor}.{key}"):
        CalibrationBackup.load(path)
    with Simulator.spawn(rate=50) as sim:
        before = sim.status()
        proc = run_vyre("calibration", "load", path, "--port", sim.port_name)
        assert_one_line_error(proc, 1, f"{sensor}.{key}")
        after = sim.status()
    assert (after["imu_calibration"], after["mag_calibration"]) == (
        before["imu_calibration"],
        before["mag_calibration"],
    )


@pytest.mark.parametrize(
    "change",
    [
        {"device": {"id": 10**30}},
        {"device": {"firmware": 5}},
        {"saved": []},
        {"magnetometer": "[" * 100_000 + "]" * 100_000},
    ],
    ids=["id-too-long", "firmware-number", "saved-list", "deep"],
)
def test_loading_anything_but_a_backup_raises_value_error(tmp_path, change):
    from vyre_tools.calibration_backup import CalibrationBackup

    data = {"format": "vyre-calibration", "version": 1, **CALIBRATION}
    path = tmp_path / "bad.json"
    text = json.dumps({**data, **change})
    path.write_text(text.replace('"' + "[" * 10, "[" * 10).replace("]" * 10 + '"', "]" * 10))
    with pytest.raises(ValueError):
        CalibrationBackup.load(path)
