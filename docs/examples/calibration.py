"""Magnetometer calibration that never leaves the device worse off."""

import os
import tempfile

import vyre_client
from vyre_tools.calibration_backup import (
    CalibrationBackup,
    MagnetometerRollback,
    read_calibration,
    write_calibration,
)
from vyre_tools.sim import Simulator

# The simulated device tumbles through every orientation, with a hard-iron
# offset of (12, -7, 4) µT and some soft-iron distortion.
with Simulator.spawn(rate=200) as sim, vyre_client.VYREClient(sim.port_name) as client:
    with MagnetometerRollback(client) as rollback:  # reads the calibration now
        # Resets the device to neutral, collects for 4 s (the call blocks), fits,
        # prints three lines on the process's standard output, writes the fit.
        if client.run_and_apply_magnetometer_calibration(4.0):
            rollback.accept()  # keep the new calibration
    good = client.get_calibration().magnetometer_offsets
    print("offsets:", [round(v, 2) for v in good])

    # A run that cannot fit (no time to collect) returns None and leaves the
    # device neutral; the rollback writes the good calibration back.
    with MagnetometerRollback(client) as rollback:
        assert client.run_and_apply_magnetometer_calibration(0.0) is None
    assert client.get_calibration().magnetometer_offsets == good

    # Both calibrations (IMU and magnetometer) as JSON, bit for bit.
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "bench-7.json")
        read_calibration(client).save(path)
        write_calibration(client, CalibrationBackup.load(path))
    assert client.get_calibration().magnetometer_offsets == good
    assert all(abs(a - b) < 1.0 for a, b in zip(good, (12, -7, 4)))
