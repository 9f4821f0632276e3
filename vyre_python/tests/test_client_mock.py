"""VYREClient against the in-process mock device: transactions, argument
handling, the lifecycle and `with` blocks."""

import contextlib
import inspect
import math
import time

import numpy as np
import pytest

import wire
from harness import InternalFaultError, NEGATIVE, OUT_OF_RANGE, TOO_BIG, eventually, thread_count
from vyre_client import (
    CalibrationValues,
    DeviceConfig,
    DeviceInfo,
    DeviceProtocol,
    MockDeviceHandle,
    VYREClient,
)


THREE = [0.5, -1.0, 2.0]
NINE = [float(i) for i in range(1, 10)]
INFO = wire.device_info_payload(0x0102030405060708, b"1.2.0")
CONFIG = wire.device_config_payload(b"rocket", 100, 2)
CALIBRATION = wire.f32s(range(36))


def check_info(info):
    assert isinstance(info, DeviceInfo)
    assert (info.id, info.firmware_version) == (0x0102030405060708, "1.2.0")


def check_config(config):
    assert isinstance(config, DeviceConfig)
    assert (config.name, config.frequency, config.protocol) == ("rocket", 100, DeviceProtocol.UART)


def check_calibration(values):
    assert isinstance(values, CalibrationValues)
    assert values.imu_accelerometer_offsets == [0.0, 1.0, 2.0]
    assert values.imu_gyroscope_scale_matrix == [float(i) for i in range(15, 24)]
    assert values.magnetometer_scale_matrix == [float(i) for i in range(27, 36)]


def check_true(result):
    assert result is True


# (call with a timeout, identifier of command and response, answer payload,
#  check of the answered result, result when unanswered)
TRANSACTIONS = [
    pytest.param(
        lambda c, t: c.get_device_info(t), wire.DEVICE_INFO, INFO, check_info, None, id="get_device_info"
    ),
    pytest.param(
        lambda c, t: c.get_device_config(timeout_seconds=t),
        wire.DEVICE_CONFIG,
        CONFIG,
        check_config,
        None,
        id="get_device_config",
    ),
    pytest.param(
        lambda c, t: c.get_calibration(t),
        wire.GET_CALIBRATION,
        CALIBRATION,
        check_calibration,
        None,
        id="get_calibration",
    ),
    pytest.param(
        lambda c, t: c.set_device_config("rocket", 100, DeviceProtocol.UART, t),
        wire.SET_DEVICE_CONFIG,
        b"\x01",
        check_true,
        False,
        id="set_device_config",
    ),
    pytest.param(
        lambda c, t: c.set_imu_calibration(THREE, NINE, THREE, NINE, t),
        wire.SET_IMU_CALIBRATION,
        b"\x01",
        check_true,
        False,
        id="set_imu_calibration",
    ),
    pytest.param(
        lambda c, t: c.set_magnetometer_calibration(THREE, NINE, timeout_seconds=t),
        wire.SET_MAGNETOMETER_CALIBRATION,
        b"\x01",
        check_true,
        False,
        id="set_magnetometer_calibration",
    ),
    pytest.param(lambda c, t: c.cancel(t), wire.CANCEL, b"\x01", check_true, False, id="cancel"),
]
SETTERS = [p for p in TRANSACTIONS if p.values[4] is False]


def assert_nothing_sent(client, device):
    """The next frame the device sees is a reboot sent now, so nothing went out before it."""
    begin = time.monotonic()
    assert client.reboot() is None
    assert time.monotonic() - begin < 5.0  # a reboot awaits no answer
    assert device.wait_for_command_identifier(5.0) == wire.REBOOT


@pytest.mark.lock_modes
@pytest.mark.parametrize("call, identifier, payload, check, unanswered", TRANSACTIONS)
def test_transaction_answered_and_unanswered(started, call, identifier, payload, check, unanswered):
    client, device = started
    device.inject_response(identifier, payload)
    check(call(client, 10.0))
    assert device.wait_for_command_identifier(5.0) == identifier
    # unanswered: the time-out result, and the frame went out all the same
    begin = time.monotonic()
    assert call(client, 0.2) is unanswered
    assert time.monotonic() - begin >= 0.15
    assert device.wait_for_command_identifier(5.0) == identifier
    # the late answer waits for the next call of its kind, which takes it at once
    device.inject_response(identifier, payload)
    check(call(client, 10.0))


@pytest.mark.lock_modes
@pytest.mark.parametrize("call, identifier, payload, check, unanswered", SETTERS)
@pytest.mark.parametrize("refusal", [b"\x00", b"", b"\x02\x01"])
def test_refused_setting_is_false_without_waiting_for_the_timeout(
    started, call, identifier, payload, check, unanswered, refusal
):
    client, device = started
    device.inject_response(identifier, refusal)
    begin = time.monotonic()
    assert call(client, 60.0) is False
    assert time.monotonic() - begin < 30.0


@pytest.mark.lock_modes
def test_responses_of_other_kinds_stay_pending_in_order(started):
    client, device = started
    device.inject_response(wire.CANCEL, b"\x01")
    device.inject_response(wire.DEVICE_CONFIG, CONFIG)
    device.inject_response(wire.DEVICE_INFO, INFO)
    check_config(client.get_device_config(10.0))
    # both earlier answers were kept: claimed now without waiting
    check_info(client.get_device_info(0))
    assert client.cancel(0) is True
    assert client.cancel(0) is False


@pytest.mark.lock_modes
def test_frame_queued_before_start_goes_out_at_start_and_its_answer_is_kept(mock):
    client, device = mock
    assert client.get_device_info(0.05) is None
    assert device.wait_for_command_identifier(0.05) is None  # nothing runs yet
    device.inject_response(wire.DEVICE_INFO, INFO)
    client.start()
    assert device.wait_for_command_identifier(5.0) == wire.DEVICE_INFO
    check_info(client.get_device_info(10.0))


TIMED_CALLS = [pytest.param(p.values[0], id=p.id) for p in TRANSACTIONS]
IMPOSSIBLE_TIMEOUTS = [
    (-1, NEGATIVE),
    (-1e-300, NEGATIVE),
    (math.nan, TOO_BIG),
    (math.inf, TOO_BIG),
    (2.0**64, TOO_BIG),
]


@pytest.mark.parametrize("call", TIMED_CALLS)
@pytest.mark.parametrize("timeout, message", IMPOSSIBLE_TIMEOUTS)
def test_impossible_timeout_is_an_internal_fault_and_sends_nothing(started, call, timeout, message):
    client, device = started
    with pytest.raises(InternalFaultError, match=message) as caught:
        call(client, timeout)
    assert not isinstance(caught.value, Exception)
    assert_nothing_sent(client, device)


@pytest.mark.lock_modes
def test_large_finite_timeout_is_accepted(started):
    client, device = started
    device.inject_response(wire.DEVICE_INFO, INFO)
    check_info(client.get_device_info(1e12))


ARGUMENT_ERRORS = [
    (lambda c: c.get_data_packets(block=1), TypeError, "argument 'block'"),
    (lambda c: c.get_data_packets(0), TypeError, "argument 'block'"),
    (lambda c: c.get_data_packets(False, True), TypeError, "positional"),
    (lambda c: c.get_device_info(timeout_seconds="1"), TypeError, "argument 'timeout_seconds'"),
    (lambda c: c.get_device_info(timeout=1), TypeError, "unexpected keyword argument 'timeout'"),
    (lambda c: c.cancel(1, timeout_seconds=1), TypeError, "multiple values for argument 'timeout_seconds'"),
    (lambda c: c.set_device_config("x", 70000, DeviceProtocol.USB), OverflowError, OUT_OF_RANGE),
    (lambda c: c.set_device_config("x", 1.0, DeviceProtocol.USB), TypeError, "argument 'frequency'"),
    (lambda c: c.set_device_config(b"x", 1, DeviceProtocol.USB), TypeError, "argument 'name'"),
    (lambda c: c.set_device_config("x", 1, 2), TypeError, "argument 'protocol'"),
    (lambda c: c.set_device_config("x", 1), TypeError, "missing required argument 'protocol'"),
    (
        lambda c: c.set_device_config("x", 1, DeviceProtocol.USB, name="y"),
        TypeError,
        "multiple values for argument 'name'",
    ),
    (
        lambda c: c.set_device_config("AB\x00CD", 1, DeviceProtocol.USB),
        ValueError,
        "^name must not contain a NUL",
    ),
    (
        lambda c: c.set_imu_calibration([1, 2], NINE, THREE, NINE),
        ValueError,
        r"^expected a sequence of length 3 \(got 2\)$",
    ),
    (
        lambda c: c.set_imu_calibration(THREE, [[1, 2, 3]] * 3, THREE, NINE),
        ValueError,
        r"^expected a sequence of length 9 \(got 3\)$",
    ),
    (
        lambda c: c.set_imu_calibration(THREE, np.eye(3), THREE, NINE),
        ValueError,
        r"^expected a sequence of length 9 \(got 3\)$",
    ),
    (lambda c: c.set_imu_calibration("abc", NINE, THREE, NINE), TypeError, "argument 'accel_offsets'"),
    (lambda c: c.set_imu_calibration(THREE, NINE, 3, NINE), TypeError, "argument 'gyro_offsets'"),
    (lambda c: c.set_magnetometer_calibration(THREE, set(NINE)), TypeError, "argument 'scale_matrix'"),
    (lambda c: c.set_magnetometer_calibration([1, "2", 3], NINE), TypeError, "argument 'offsets'"),
    (lambda c: c.set_magnetometer_calibration(THREE), TypeError, "missing required argument 'scale_matrix'"),
    # non-finite calibration numbers: refused by argument and index, after every other check
    (
        lambda c: c.set_magnetometer_calibration([0, math.nan, 0], NINE),
        ValueError,
        r"^offsets must hold finite numbers \(item 1 is not finite as a 32-bit float\)$",
    ),
    (
        lambda c: c.set_magnetometer_calibration(THREE, [0] * 8 + [-math.inf]),
        ValueError,
        r"^scale_matrix .*item 8",
    ),
    (
        lambda c: c.set_imu_calibration([1e39, 0, 0], NINE, THREE, NINE),
        ValueError,
        r"^accel_offsets .*item 0",
    ),
    (
        lambda c: c.set_imu_calibration(THREE, np.full(9, np.nan), THREE, NINE),
        ValueError,
        r"^accel_scale_matrix .*item 0",
    ),
    (
        lambda c: c.set_imu_calibration(THREE, NINE, (0, 0, -3.5e38), NINE),
        ValueError,
        r"^gyro_offsets .*item 2",
    ),
    (
        lambda c: c.set_imu_calibration(THREE, NINE, THREE, [0] * 4 + [math.inf] + [0] * 4),
        ValueError,
        r"^gyro_scale_matrix .*item 4",
    ),
    (
        lambda c: c.set_imu_calibration([math.nan] * 3, NINE, THREE, [0] * 8),
        ValueError,
        r"^expected a sequence of length 9 \(got 8\)$",
    ),
    (
        lambda c: c.set_magnetometer_calibration([math.inf] * 3, NINE, "1"),
        TypeError,
        "argument 'timeout_seconds'",
    ),
    (lambda c: c.__exit__(None, None), TypeError, "missing required argument '_traceback'"),
    (lambda c: c.start(1), TypeError, "takes no arguments"),
    (lambda c: c.reboot(now=True), TypeError, "takes no keyword arguments"),
]


@pytest.mark.parametrize("call, error, message", ARGUMENT_ERRORS)
def test_argument_errors_name_the_argument_and_send_nothing(started, call, error, message):
    client, device = started
    with pytest.raises(error, match=message):
        call(client)
    assert client.is_running()
    assert_nothing_sent(client, device)


ACCEPTED_FORMS = [
    pytest.param(
        lambda c: c.set_imu_calibration(np.zeros(3), np.eye(3).ravel(), (0, 0, 0), range(9)),
        id="numpy-tuple-range",
    ),
    pytest.param(
        lambda c: c.set_imu_calibration(
            gyro_scale_matrix=np.arange(9, dtype=np.float32),
            gyro_offsets=[np.float64(1), 2, 3],
            accel_scale_matrix=tuple(NINE),
            accel_offsets=THREE,
            timeout_seconds=np.float32(5),
        ),
        id="keywords",
    ),
    pytest.param(lambda c: c.set_magnetometer_calibration(np.array(THREE), np.array(NINE), 5), id="numpy"),
    pytest.param(
        lambda c: c.set_device_config(
            name="n", frequency=np.uint16(65535), protocol=DeviceProtocol.SPI, timeout_seconds=5
        ),
        id="device-config",
    ),
]


@pytest.mark.parametrize("call", ACCEPTED_FORMS)
def test_sequences_numbers_and_keywords_in_all_accepted_forms(started, call):
    client, device = started
    device.inject_response(wire.SET_IMU_CALIBRATION, b"\x01")
    device.inject_response(wire.SET_MAGNETOMETER_CALIBRATION, b"\x01")
    device.inject_response(wire.SET_DEVICE_CONFIG, b"\x01")
    assert call(client) is True


@pytest.mark.lock_modes
def test_get_data_packets_on_a_client_that_never_ran():
    client, _ = VYREClient.new_mock(0.2)
    assert client.get_data_packets() == []
    assert client.get_data_packets(np.False_) == []
    for block in (True, np.True_):
        begin = time.monotonic()
        with pytest.raises(OSError, match="^timed out waiting on channel$"):
            client.get_data_packets(block=block)
        assert time.monotonic() - begin >= 0.15  # the client's timeout, not zero


SIGNATURES = {
    VYREClient: "(port_name, baud_rate=2000000, timeout=0.1)",
    VYREClient.new_mock: "(timeout=0.1)",
    VYREClient.start: "(self, /)",
    VYREClient.stop: "(self, /)",
    VYREClient.is_running: "(self, /)",
    VYREClient.ensure_ok: "(self, /)",
    VYREClient.__enter__: "(self, /)",
    VYREClient.__exit__: "(self, /, _exc_type, _exc_value, _traceback)",
    VYREClient.get_data_packets: "(self, /, block=False)",
    VYREClient.get_device_info: "(self, /, timeout_seconds=5.0)",
    VYREClient.get_device_config: "(self, /, timeout_seconds=5.0)",
    VYREClient.set_device_config: "(self, /, name, frequency, protocol, timeout_seconds=5.0)",
    VYREClient.get_calibration: "(self, /, timeout_seconds=5.0)",
    VYREClient.set_imu_calibration: "(self, /, accel_offsets, accel_scale_matrix, gyro_offsets, gyro_scale_matrix, timeout_seconds=5.0)",
    VYREClient.set_magnetometer_calibration: "(self, /, offsets, scale_matrix, timeout_seconds=5.0)",
    VYREClient.reboot: "(self, /)",
    VYREClient.cancel: "(self, /, timeout_seconds=5.0)",
    MockDeviceHandle.inject_response: "(self, /, identifier, payload)",
    MockDeviceHandle.wait_for_command_identifier: "(self, /, timeout_seconds)",
}


@pytest.mark.parametrize(
    "callable_, signature", [pytest.param(c, s, id=c.__qualname__) for c, s in SIGNATURES.items()]
)
def test_text_signatures(callable_, signature):
    assert str(inspect.signature(callable_)) == signature


def test_inject_response_has_no_docstring():
    assert MockDeviceHandle.inject_response.__doc__ is None  # the signature is all there is


@pytest.mark.parametrize("raised", [None, ZeroDivisionError, KeyboardInterrupt])
def test_with_block_runs_the_client_and_stops_it_also_when_it_raises(mock, raised):
    client, _ = mock
    with pytest.raises(raised) if raised else contextlib.nullcontext():
        with client as entered:
            assert entered is client
            assert client.is_running()
            if raised:
                raise raised()
    assert not client.is_running()


def test_exit_never_swallows_and_enter_accepts_a_started_client(started):
    client, device = started
    assert client.__enter__() is client
    assert client.__exit__(ValueError, ValueError("x"), None) is None
    assert not client.is_running()
    # usable again afterwards
    client.start()
    device.inject_response(wire.DEVICE_INFO, INFO)
    check_info(client.get_device_info(10.0))


@pytest.mark.lock_modes
def test_start_and_stop_are_idempotent_and_a_restart_works(mock):
    client, device = mock
    before = thread_count()
    assert not client.is_running()
    client.start()
    client.start()
    assert client.is_running()
    assert thread_count() == before + 1
    client.stop()
    client.stop()
    assert not client.is_running()
    assert eventually(lambda: thread_count() == before)
    client.start()
    device.inject_response(wire.CANCEL, b"\x01")
    assert client.cancel(10.0) is True
    assert device.wait_for_command_identifier(5.0) == wire.CANCEL
