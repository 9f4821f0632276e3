"""VYREClient.new_mock and MockDeviceHandle: building the pair, injecting
responses, and reading back the frames the client wrote."""

import math
import time

import numpy as np
import pytest

import wire
from harness import InternalFaultError, NEGATIVE, OUT_OF_RANGE, TOO_BIG, run_in_thread
from vyre_client import DeviceProtocol, MockDeviceHandle, VYREClient


UNSENDABLE = "vyre_client::MockDeviceHandle is unsendable, but sent to another thread"


@pytest.mark.parametrize(
    "args, kwargs", [((), {}), ((0,), {}), ((1,), {}), ((), {"timeout": 0.05}), ((np.float64(0.1),), {})]
)
def test_new_mock_gives_a_stopped_client_and_its_handle(args, kwargs):
    pair = VYREClient.new_mock(*args, **kwargs)
    assert type(pair) is tuple and len(pair) == 2
    client, device = pair
    assert type(client) is VYREClient and type(device) is MockDeviceHandle
    assert not client.is_running()
    assert not hasattr(device, "__dict__")


@pytest.mark.parametrize(
    "timeout, error, message",
    [
        (-1, InternalFaultError, NEGATIVE),
        (-1e-300, InternalFaultError, NEGATIVE),
        (math.nan, InternalFaultError, TOO_BIG),
        (-math.inf, InternalFaultError, NEGATIVE),
        (2.0**64, InternalFaultError, TOO_BIG),
        ("0.1", TypeError, "argument 'timeout'"),
        (None, TypeError, "argument 'timeout'"),
    ],
)
def test_new_mock_refuses_impossible_timeouts(timeout, error, message):
    with pytest.raises(error, match=message):
        VYREClient.new_mock(timeout)


def test_new_mock_with_zero_timeout_runs_and_stops():
    client, device = VYREClient.new_mock(0)
    client.start()
    device.inject_response(wire.CANCEL, b"\x01")
    assert client.cancel(10.0) is True
    client.stop()
    assert not client.is_running()


@pytest.mark.parametrize(
    "payload",
    [[1], (1,), b"\x01", bytearray(b"\x01"), np.array([1], dtype=np.uint8), range(1, 2), [np.int64(1)]],
    ids=repr,
)
def test_every_payload_form_injects_the_same_frame(started, payload):
    client, device = started
    device.inject_response(identifier=wire.SET_DEVICE_CONFIG, payload=payload)
    assert client.set_device_config("x", 1, DeviceProtocol.USB, 10.0) is True


def test_payload_items_keep_their_order(started):
    client, device = started
    payload = wire.device_info_payload(0x1122334455667788, b"abcdefgh")
    device.inject_response(wire.DEVICE_INFO, list(payload))
    info = client.get_device_info(10.0)
    assert (info.id, info.firmware_version) == (0x1122334455667788, "abcdefgh")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda d: d.inject_response(65536, b""), OverflowError, OUT_OF_RANGE),
        (lambda d: d.inject_response(-1, b""), OverflowError, OUT_OF_RANGE),
        (lambda d: d.inject_response(1.0, b""), TypeError, "argument 'identifier'"),
        (lambda d: d.inject_response(1, [256]), OverflowError, OUT_OF_RANGE),
        (lambda d: d.inject_response(1, [0, -1]), OverflowError, OUT_OF_RANGE),
        (lambda d: d.inject_response(1, "\x01"), TypeError, "argument 'payload'.*str"),
        (lambda d: d.inject_response(1, 5), TypeError, "argument 'payload'.*Sequence"),
        (lambda d: d.inject_response(1, [1.0]), TypeError, "argument 'payload'"),
        (lambda d: d.inject_response(1), TypeError, "missing required argument 'payload'"),
        (lambda d: d.inject_response(1, b"", b""), TypeError, "positional"),
        (lambda d: d.inject_response(1, data=b""), TypeError, "unexpected keyword argument 'data'"),
        (lambda d: d.wait_for_command_identifier(), TypeError, "missing required argument 'timeout_seconds'"),
        (lambda d: d.wait_for_command_identifier("1"), TypeError, "argument 'timeout_seconds'"),
        (lambda d: d.wait_for_command_identifier(-1), InternalFaultError, NEGATIVE),
        (lambda d: d.wait_for_command_identifier(timeout_seconds=math.inf), InternalFaultError, TOO_BIG),
        (lambda d: d.wait_for_command_identifier(math.nan), InternalFaultError, TOO_BIG),
    ],
)
def test_handle_argument_errors(started, call, error, message):
    client, device = started
    with pytest.raises(error, match=message):
        call(device)
    # a refused injection queued nothing: the device still answers only what follows
    device.inject_response(wire.DEVICE_CONFIG, wire.device_config_payload(b"n", 1, 1))
    assert client.get_device_config(10.0).name == "n"


@pytest.mark.lock_modes
def test_wait_without_a_frame_gives_none_after_its_timeout(mock):
    _, device = mock
    begin = time.monotonic()
    assert device.wait_for_command_identifier(0.05) is None
    assert time.monotonic() - begin >= 0.04
    assert device.wait_for_command_identifier(0) is None


@pytest.mark.lock_modes
def test_frames_come_back_one_per_call_in_writing_order(started):
    client, device = started
    client.reboot()
    assert client.cancel(0) is False
    assert client.get_device_info(0.5) is None  # gives the reader time to write all three
    # frames already written are returned even for a zero timeout
    assert [device.wait_for_command_identifier(0) for _ in range(4)] == [
        wire.REBOOT,
        wire.CANCEL,
        wire.DEVICE_INFO,
        None,
    ]


def test_handle_is_bound_to_its_thread_and_stays_usable(started):
    client, device = started
    for call in (
        lambda: device.inject_response(wire.CANCEL, b"\x01"),
        lambda: device.wait_for_command_identifier(0),
        lambda: device.inject_response("bad", "arguments"),
    ):
        kind, error = run_in_thread(call)
        assert kind == "error" and type(error) is InternalFaultError
        assert UNSENDABLE in str(error)
    # the refused injection did not happen; the owner's does
    assert client.cancel(0.2) is False
    device.inject_response(wire.CANCEL, b"\x01")
    assert client.cancel(10.0) is True
    assert device.wait_for_command_identifier(5.0) == wire.CANCEL
