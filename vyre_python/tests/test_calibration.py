"""The magnetometer calibration run through VYREClient: on the mock device for
its outcomes, refusals and interruption, and against a simulated device whose
field is distorted by known hard and soft iron."""

import inspect
import json
import math
import os
import re
import subprocess
import sys
import time

import numpy as np
import pytest

import wire
from harness import InternalFaultError, NEGATIVE, TOO_BIG, alarm, press_ctrl_c
from vyre_client import VYREClient


DOC = (
    "Runs a blocking magnetometer calibration sequence.\n\nThis function will:\n"
    "1. Start the calibration listener.\n"
    "2. Sleep for `collection_duration_seconds` (blocking the script).\n"
    "3. Stop the listener and calculate the result.\n"
    "4. Apply the result to the device if successful."
)
ACK = b"\x01"


def writes_seen(device, within=0.3):
    seen = []
    while (identifier := device.wait_for_command_identifier(within)) is not None:
        seen.append(identifier)
    return seen


def test_signature_and_docstring():
    method = VYREClient.run_and_apply_magnetometer_calibration
    assert (
        str(inspect.signature(method)) == "(self, /, collection_duration_seconds, apply_timeout_seconds=5.0)"
    )
    assert method.__doc__ == DOC


@pytest.mark.lock_modes
def test_a_client_that_never_started_gets_none_after_the_apply_timeout(mock):
    client, device = mock
    begin = time.monotonic()
    assert client.run_and_apply_magnetometer_calibration(60, apply_timeout_seconds=0.3) is None
    assert 0.25 <= time.monotonic() - begin < 30  # no collection after the unanswered reset
    assert client.last_magnetometer_calibration is None
    client.start()
    assert writes_seen(device) == [wire.SET_MAGNETOMETER_CALIBRATION]  # the reset, sent at start


@pytest.mark.lock_modes
@pytest.mark.parametrize("collection", [0, 0.3])
def test_without_telemetry_there_is_no_fit_and_the_second_ack_stays_pending(started, collection):
    client, device = started
    device.inject_response(wire.SET_MAGNETOMETER_CALIBRATION, ACK)
    device.inject_response(wire.SET_MAGNETOMETER_CALIBRATION, ACK)
    assert client.run_and_apply_magnetometer_calibration(collection, 5.0) is None
    assert writes_seen(device) == [wire.SET_MAGNETOMETER_CALIBRATION]  # nothing applied
    assert client.last_magnetometer_calibration == {
        "samples": 0,
        "offsets": None,
        "scale_matrix": None,
        "rms_residual_microteslas": None,
        "max_residual_microteslas": None,
        "applied": False,
    }
    assert client.set_magnetometer_calibration([0] * 3, [0] * 9, timeout_seconds=5) is True


REFUSALS = [
    pytest.param((-1.0,), InternalFaultError, NEGATIVE, id="negative-collection"),
    pytest.param((1, -0.5), InternalFaultError, NEGATIVE, id="negative-apply-timeout"),
    pytest.param((math.nan,), InternalFaultError, TOO_BIG, id="nan-collection"),
    pytest.param((1, math.inf), InternalFaultError, TOO_BIG, id="infinite-apply-timeout"),
    pytest.param(("1",), TypeError, "argument 'collection_duration_seconds'", id="text-collection"),
    pytest.param((1, None), TypeError, "argument 'apply_timeout_seconds'", id="none-apply-timeout"),
    pytest.param((), TypeError, "missing required argument 'collection_duration_seconds'", id="missing"),
    pytest.param((1, 2, 3), TypeError, "takes from 1 to 2 positional arguments", id="surplus"),
]


@pytest.mark.parametrize("args, error, message", REFUSALS)
def test_refused_before_anything_is_sent(started, args, error, message):
    client, device = started
    device.inject_response(wire.SET_MAGNETOMETER_CALIBRATION, ACK)
    with pytest.raises(error, match=message):
        client.run_and_apply_magnetometer_calibration(*args)
    assert writes_seen(device) == []
    assert client.set_magnetometer_calibration([0] * 3, [0] * 9, timeout_seconds=5) is True


def raise_keyboard_interrupt(*_):
    raise KeyboardInterrupt


@pytest.mark.lock_modes
@pytest.mark.parametrize("handler", [raise_keyboard_interrupt, press_ctrl_c])
def test_ctrl_c_during_collection_ends_the_run_and_writes_nothing(started, handler):
    client, device = started
    device.inject_response(wire.SET_MAGNETOMETER_CALIBRATION, ACK)
    begin = time.monotonic()
    with alarm(0.3, handler), pytest.raises(KeyboardInterrupt):
        client.run_and_apply_magnetometer_calibration(60.0)
    assert time.monotonic() - begin < 30
    assert client.is_running()
    assert writes_seen(device) == [wire.SET_MAGNETOMETER_CALIBRATION]  # the reset only
    # the run was finished: another one is not "already in progress"
    device.inject_response(wire.SET_MAGNETOMETER_CALIBRATION, ACK)
    assert client.run_and_apply_magnetometer_calibration(0) is None


# ---- against a simulated device with a distorted field

SCRIPT = """
import json
from vyre_client import VYREClient
from vyre_tools.sim import Simulator

# the tumble at 2.5 times its pace: 2 s cover the directions 5 s would
with Simulator.spawn(mag_noise=0.05, rate=500, tumble_rates=(75, 180, 475)) as sim:
    client = VYREClient(sim.port_name)
    client.start()
    client.get_data_packets(block=True)
    print("before")
    result = client.run_and_apply_magnetometer_calibration(2.0, apply_timeout_seconds=10.0)
    print("after")
    fields = [[p.magnetic_field_x_microteslas, p.magnetic_field_y_microteslas, p.magnetic_field_z_microteslas]
              for p in client.get_data_packets()]
    client.stop()
    status = sim.status()
    last = client.last_magnetometer_calibration
    last["offsets"].append("changing the copy changes nothing")
    print(json.dumps({"result": result, "fields": fields, "last": client.last_magnetometer_calibration,
                      **{key: status[key] for key in ("mag_calibration", "hard_iron", "soft_iron", "field_ref")}}))
"""
NUMBER = r"(-?\d+\.\d{6})"


def test_calibration_of_a_distorted_field_prints_in_order_into_a_pipe_and_applies_the_fit(tmp_path):
    env = {key: value for key, value in os.environ.items() if key != "PYTHONUNBUFFERED"}
    run = subprocess.run(
        [sys.executable, "-c", SCRIPT],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=tmp_path,
        env=env,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert len(lines) == 6, run.stdout[:2000]
    assert [lines[0], lines[1], lines[4]] == ["before", "Calibration result:", "after"]
    printed_b = re.fullmatch(rf"  b = \[{NUMBER}, {NUMBER}, {NUMBER}\]", lines[2])
    printed_a = re.fullmatch(r"  A = \[" + "; ".join([", ".join([NUMBER] * 3)] * 3) + r"\]", lines[3])
    assert printed_b and printed_a, lines[2:4]

    outcome = json.loads(lines[5])
    assert outcome["result"] is True
    b = np.array(outcome["mag_calibration"]["offsets"])
    a = np.array(outcome["mag_calibration"]["matrix"]).reshape(3, 3)
    # what the device holds is what was printed: six decimals, matrix column by column
    assert list(printed_b.groups()) == [f"{v:.6f}" for v in b]
    assert list(printed_a.groups()) == [f"{a[row, col]:.6f}" for col in range(3) for row in range(3)]
    assert np.all(np.abs(b - outcome["hard_iron"]) < 0.5)
    last = outcome["last"]  # the same fit, as a result object
    assert last["applied"] is True and last["samples"] >= 500
    assert last["offsets"] == list(b) and last["scale_matrix"] == list(a.flat)

    # raw readings lie on the known ellipsoid; the rest arrived after the apply
    fields = np.array(outcome["fields"])
    soft_iron = np.array(outcome["soft_iron"]).reshape(3, 3)
    strength = np.linalg.norm(outcome["field_ref"])
    truth = np.linalg.norm(np.linalg.solve(soft_iron, (fields - outcome["hard_iron"]).T), axis=0)
    raw = fields[np.abs(truth - strength) < 0.02 * strength]
    assert len(raw) >= 500 and len(raw) >= 0.9 * len(fields)
    radius = np.linalg.norm((raw - b) @ a.T, axis=1)
    assert np.all(np.abs(radius / radius.mean() - 1) < 0.01)
    assert 0 < last["rms_residual_microteslas"] <= last["max_residual_microteslas"] < 0.05 * radius.mean()
