"""Magnetometer calibration with a backup of the device's calibration."""
import vyre_client
from vyre_tools.sim import Simulator

# The simulated device tumbles through every orientation, with a hard-iron
# offset of (12, -7, 4) µT and some soft-iron distortion.
with Simulator.spawn(rate=200) as sim, vyre_client.VYREClient(sim.port_name) as client:
    backup = client.get_calibration()  # what the device holds now
    print("offsets before:", backup.magnetometer_offsets)

    # Resets the device to neutral, collects for 4 s (the call blocks), fits,
    # prints three lines on the process's standard output, then writes the fit.
    result = client.run_and_apply_magnetometer_calibration(4.0)
    if result is not True:
        # None: nothing fitted (the neutral calibration stays); False: refused
        client.set_magnetometer_calibration(backup.magnetometer_offsets,
                                            backup.magnetometer_scale_matrix)
        raise SystemExit(f"calibration failed ({result}); the backup was written back")

    applied = client.get_calibration()
    print("offsets after:", [round(v, 2) for v in applied.magnetometer_offsets])
    assert all(abs(a - b) < 1.0 for a, b in zip(applied.magnetometer_offsets, (12, -7, 4)))
