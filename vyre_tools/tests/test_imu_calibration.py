"""The accelerometer and gyroscope calibration: the fit against the
simulator's true errors, each named reason from a session that earns it,
and `vyre calibrate-imu` end to end on the simulated device (kept, and
refused with the previous calibration back)."""

import json

import numpy as np
import pytest

from vyre_tools.procedures import imu_calibration as ic
from vyre_tools.sim import Simulator
from vyre_tools.sim.motion import SensorModel
from vyre_tools.sim.options import resolve

from .cli_support import client_ready, run_vyre  # noqa: F401


def scripted(rate=200.0, **options):
    """The readings of a whole scripted session, from the simulator's model
    (no link: the fit is what is tested), and the model with its truth."""
    model = SensorModel(
        resolve({"motion": "poses", "imu_errors": True, "pose_hold": 2.5, "pose_turn": 1.5, **options})
    )
    model.poses.start(0.5)
    script = model.poses
    end = 0.5 + len(script.attitudes) * (script.hold + script.turn) + 0.5
    rows = np.array([model.sample(i / rate, i / rate) for i in range(int(end * rate))])
    return ic.Session(rows[:, 0], rows[:, 3:6], rows[:, 6:9]), model


def residual_errors(fit, model):
    """What is left of the true errors after the calibration: accelerometer
    offset (g), scale and misalignment (the calibrated axes are free up to a
    rotation, so the symmetric part), gyroscope bias (degrees/s) and matrix
    against the accelerometer's calibrated axes."""
    truth = model.imu
    combined = np.reshape(fit.accel_matrix, (3, 3)) @ np.reshape(truth.accel_matrix, (3, 3))
    u, _, vt = np.linalg.svd(combined)
    rotation = u @ vt
    gyro = rotation.T @ np.reshape(fit.gyro_matrix, (3, 3)) @ np.reshape(truth.gyro_matrix, (3, 3))
    return (
        np.abs(np.subtract(fit.accel_offsets, truth.accel_bias)).max(),
        np.abs(rotation.T @ combined - np.eye(3)).max(),
        np.abs(np.subtract(fit.gyro_offsets, truth.gyro_bias)).max(),
        np.abs(gyro - np.eye(3)).max(),
    )


def test_fit_recovers_the_true_errors_and_knows_its_own_calibration():
    session, model = scripted(seed=11)
    fit = ic.fit_imu(session)
    assert fit.reason is ic.Reason.GOOD, fit.summary()
    assert len(fit.poses) == 12 and len(fit.turns) == 11
    accel_offset, accel_matrix, gyro_bias, gyro_matrix = residual_errors(fit, model)
    assert accel_offset < 1e-3 and accel_matrix < 1e-3
    assert gyro_bias < 0.01 and gyro_matrix < 3e-3
    # the same fit judged against itself as the device's current one
    again = ic.fit_imu(session, current=fit.values())
    assert again.reason is ic.Reason.NO_IMPROVEMENT


@pytest.mark.parametrize(
    "options,reason",
    [
        ({"pose_script": "+z,+x,-z,~-x,+y,-y,+x+y,+y+z,+x+z,-x+y"}, ic.Reason.MOVED),
        ({"pose_script": "+z,+x,-z,-x,+y,-y,+x+y,+y+z,+x"}, ic.Reason.POSES_TOO_ALIKE),
        ({"pose_script": "+z,+x,-z,-x,+y,-y"}, ic.Reason.TOO_FEW_POSES),
        ({"accel_range": 1.0}, ic.Reason.SATURATED),
        ({"gyro_range": 60.0}, ic.Reason.SATURATED),
    ],
    ids=["wobble", "repeat", "few", "accel-range", "gyro-range"],
)
def test_a_spoiled_session_ends_with_its_reason(options, reason):
    session, _ = scripted(seed=5, **options)
    fit = ic.fit_imu(session)
    assert fit.reason is reason, fit.summary()


# a session short enough for the suite: fast turns, short holds, a short window
SIM = dict(motion="poses", imu_errors=True, rate=400, pose_hold=0.6, pose_turn=0.3, seed=3)
FAST = ["--min-hold", "0.3", "--window", "0.2", "--timeout", "2"]
# what the device holds before: any calibration, far from the right one
BEFORE = {
    "format": "vyre-calibration",
    "version": 1,
    "accelerometer": {
        "offsets": [0.25, -0.5, 0.125],
        "scale_matrix": [1.5, 0.0, 0.0, 0.0, 0.5, 0.0, 0.0, 0.0, 2.0],
    },
    "gyroscope": {
        "offsets": [3.0, 0.0, -3.0],
        "scale_matrix": [0.5, 0.0, 0.0, 0.0, 1.0, 0.25, 0.0, 0.0, 1.0],
    },
    "magnetometer": {
        "offsets": [1.0, 2.0, 3.0],
        "scale_matrix": [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0],
    },
}


def imu_on(sim):
    cal = sim.status()["imu_calibration"]
    return [cal["accel_offsets"], cal["accel_matrix"], cal["gyro_offsets"], cal["gyro_matrix"]]


@pytest.mark.usefixtures("client_ready")
@pytest.mark.parametrize(
    "script,args,kept",
    [
        ("+z,+x,-z,-x,+y,-y,+x+y,+y+z,+x+z", ["--poses", "9", "--keep", "-d", "30"], True),
        ("+z,+x", ["--poses", "9", "-d", "1.5"], False),
    ],
    ids=["kept", "too-few-poses"],
)
def test_calibrate_imu_keeps_a_good_fit_and_never_loses_the_old_one(tmp_path, script, args, kept):
    import vyre_client

    backup = tmp_path / "before.json"
    backup.write_text(json.dumps(BEFORE))
    with Simulator.spawn(pose_script=script, **SIM) as sim:
        loaded = run_vyre("calibration", "load", backup, "--port", sim.port_name)
        assert loaded.returncode == 0, loaded.stderr
        before = imu_on(sim)
        proc = run_vyre("calibrate-imu", "--port", sim.port_name, *FAST, *args)
        status = sim.status()
        if not kept:
            assert proc.returncode == 1 and "too few distinct poses" in proc.stderr, proc.stderr
            assert imu_on(sim) == before
            return
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert "good: keep it" in proc.stdout
        held = imu_on(sim)
        assert held != before and status["mag_calibration"]["offsets"] == [1.0, 2.0, 3.0]
        # the device applies what it holds: at rest it now reads 1 g and no turn
        with vyre_client.VYREClient(sim.port_name) as client:
            rows = []
            while sum(map(len, rows)) < 200:
                rows.append(client.get_data_array(block=True))
        session = ic.Session.from_rows(rows)
        assert abs(np.linalg.norm(session.accel.mean(axis=0)) - 1.0) < 2e-3
        assert np.abs(session.gyro.mean(axis=0)).max() < 0.05
