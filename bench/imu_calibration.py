"""Accelerometer and gyroscope calibration against the simulator's truth.

Simulated devices with random true errors (one seed each) are calibrated
through the real serial path by the same procedure as `vyre calibrate-imu`:
a scripted session of twelve still poses of 3 s and the turns between them
at the device's default rate (200 Hz).  After each calibration the residual
errors against the truth are taken (medians over the devices, worst beside
them), and a six-position fit with a diagonal matrix is computed from the
same poses for comparison.  Then fault-injected sessions (a wobble during a
hold, a repeated pose, too few poses, saturation) must each end with their
named reason and the device's previous calibration, read back.

    .venv/bin/python bench/imu_calibration.py [--devices 20] [--parallel 4]
"""

import argparse
import multiprocessing
import os
import statistics
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(BENCH))

import numpy as np  # noqa: E402

from vyre_tools.calibration_backup import ImuRollback  # noqa: E402
from vyre_tools.procedures import imu_calibration as ic  # noqa: E402
from vyre_tools.procedures.device_calls import run  # noqa: E402
from vyre_tools.procedures.imu_calibration_run import ImuCalibration  # noqa: E402

FAULTS = {
    "wobble during a hold": ({"pose_script": "+z,+x,-z,~-x,+y,-y,+x+y,+y+z,+x+z,-x+y"}, ic.Reason.MOVED),
    "repeated pose": ({"pose_script": "+z,+x,-z,-x,+y,-y,+x+y,+y+z,+x"}, ic.Reason.POSES_TOO_ALIKE),
    "too few poses": ({"pose_script": "+z,+x,-z,-x,+y,-y"}, ic.Reason.TOO_FEW_POSES),
    "saturation": ({"accel_range": 1.0}, ic.Reason.SATURATED),
}
BEFORE = (
    [0.01, 0.02, -0.01],
    [1.01, 0, 0, 0, 0.99, 0, 0, 0, 1.0],
    [0.5, 0.0, -0.5],
    [1, 0, 0, 0, 1, 0, 0, 0, 1],
)


def session(seed, extra):
    """One calibration on a fresh simulated device: (fit, truth, seconds the
    fit took, whether the device ends with the previous calibration)."""
    import vyre_client

    from vyre_tools.sim import Simulator

    options = dict(motion="poses", imu_errors=True, seed=seed, pose_hold=3.0, pose_turn=2.0, **extra)
    with Simulator.spawn(**options) as sim, vyre_client.VYREClient(sim.port_name) as client:
        client.set_imu_calibration(*BEFORE, timeout_seconds=3.0)
        truth = sim.status()["imu_truth"]
        procedure = ImuCalibration(3.0, poses=12)
        from vyre_tools.procedures.backups import read_backup

        procedure.backup = run(read_backup(3.0), client)
        with ImuRollback(client, 3.0, procedure.backup) as rollback:
            run(procedure.prepare(), client)
            end = time.monotonic() + 12 * 5.0 + 3.0
            while time.monotonic() < end and not procedure.progress().complete:
                time.sleep(0.2)
                procedure.add(client.get_data_array())
            time.sleep(0.3)
            procedure.add(client.get_data_array())
            started = time.perf_counter()
            fit = procedure.fit()
            took = time.perf_counter() - started
            if fit.good:
                run(procedure.apply(fit), client)
                rollback.accept()
        held = client.get_calibration(timeout_seconds=3.0)
        kept_old = np.allclose(held.imu_accelerometer_offsets, BEFORE[0], atol=1e-7) and np.allclose(
            held.imu_gyroscope_offsets, BEFORE[2], atol=1e-7
        )
        return fit, truth, took, kept_old


def errors(accel_offsets, accel_matrix, gyro_offsets, gyro_matrix, truth):
    """Residual errors: accel offset (mg), accel scale/misalignment (%),
    gyro bias (degrees/s), gyro scale/misalignment (%) against the accelerometer's axes."""
    combined = np.reshape(accel_matrix, (3, 3)) @ np.reshape(truth["accel_matrix"], (3, 3))
    u, _, vt = np.linalg.svd(combined)
    rotation = u @ vt
    out = [
        1000 * np.abs(np.subtract(accel_offsets, truth["accel_bias"])).max(),
        100 * np.abs(rotation.T @ combined - np.eye(3)).max(),
    ]
    if gyro_matrix is not None:
        gyro = rotation.T @ np.reshape(gyro_matrix, (3, 3)) @ np.reshape(truth["gyro_matrix"], (3, 3))
        out += [
            np.abs(np.subtract(gyro_offsets, truth["gyro_bias"])).max(),
            100 * np.abs(gyro - np.eye(3)).max(),
        ]
    return out


def six_position(fit):
    """Offsets and a diagonal matrix from the six face poses of ``fit``."""
    faces = {p.name: np.array(p.accel) for p in fit.poses if len(p.name) == 2 and p.repeat_of is None}
    offsets, diagonal = [], []
    for i, axis in enumerate("xyz"):
        up, down = faces["+" + axis][i], faces["-" + axis][i]
        offsets.append((up + down) / 2)
        diagonal.append(2 / (up - down))
    return offsets, np.diag(diagonal).reshape(9).tolist()


def one_device(seed):
    fit, truth, took, _ = session(seed, {})
    if not fit.good:
        return seed, fit.summary(), None, None, took
    full = errors(*fit.values(), truth)
    offsets, matrix = six_position(fit)
    return seed, "good", full, errors(offsets, matrix, None, None, truth), took


def one_fault(name):
    extra, reason = FAULTS[name]
    fit, _, _, kept_old = session(100 + len(name), extra)
    return name, fit.reason, reason, kept_old


def fit_time(rounds=5):
    """Seconds the fit takes for a 2-minute session (12 poses of 5 s, 5 s
    turns, 24,400 samples), alone in this process: the best and the median."""
    from vyre_tools.sim.motion import SensorModel
    from vyre_tools.sim.options import resolve

    model = SensorModel(resolve(dict(motion="poses", imu_errors=True, seed=3, pose_hold=5.0, pose_turn=5.0)))
    model.poses.start(1.0)
    rows = np.array([model.sample(i / 200, i / 200) for i in range(122 * 200)])
    data = ic.Session(rows[:, 0], rows[:, 3:6], rows[:, 6:9])
    times = []
    for _ in range(rounds):
        started = time.perf_counter()
        assert ic.fit_imu(data).good
        times.append(time.perf_counter() - started)
    return min(times), statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--devices", type=int, default=20)
    parser.add_argument("--parallel", type=int, default=4)
    args = parser.parse_args()
    with multiprocessing.get_context("spawn").Pool(args.parallel) as pool:
        devices = pool.map(one_device, range(1, args.devices + 1))
        faults = pool.map(one_fault, list(FAULTS))
    good = [d for d in devices if d[2] is not None]
    for seed, verdict, *_ in devices:
        if verdict != "good":
            print(f"device {seed}: {verdict}")
    names = [
        "accel offset (mg)",
        "accel scale+misalignment (%)",
        "gyro bias (deg/s)",
        "gyro scale+misalignment (%)",
    ]
    print(f"{len(good)} of {len(devices)} devices calibrated; medians (worst)")
    print("| residual | full 3x3 fit | six-position diagonal |")
    print("|---|---|---|")
    for i, name in enumerate(names):
        full = [d[2][i] for d in good]
        six = [d[3][i] for d in good] if i < 2 else None
        six_text = "-" if six is None else f"{statistics.median(six):.4f} ({max(six):.4f})"
        print(f"| {name} | {statistics.median(full):.4f} ({max(full):.4f}) | {six_text} |")
    took = [d[4] for d in devices]
    print(
        f"fit time in the runs: median {statistics.median(took):.3f} s, worst {max(took):.3f} s (58 s sessions)"
    )
    best, median = fit_time()
    print(f"fit time of a 2-minute session alone: best {best:.3f} s, median {median:.3f} s")
    right = sum(1 for _, got, want, kept in faults if got is want and kept)
    for name, got, want, kept in faults:
        print(f"fault {name}: {got} (want {want}); previous calibration kept: {kept}")
    print(f"faults ending with their reason and the old calibration: {right} of {len(faults)}")


if __name__ == "__main__":
    main()
