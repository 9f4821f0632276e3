"""Thread binding of VYREClient, release on any thread, and signals
arriving while a call waits with the interpreter lock held."""

import os
import subprocess
import sys
import threading
import time

import pytest

import wire
from harness import InternalFaultError, alarm, eventually, press_ctrl_c, run_in_thread, thread_count
from vyre_client import DeviceProtocol, VYREClient

UNSENDABLE = "vyre_client::VYREClient is unsendable, but sent to another thread"

FOREIGN_CALLS = [
    pytest.param(lambda c: c.stop(), id="stop"),
    pytest.param(lambda c: c.close(), id="close"),
    pytest.param(lambda c: c.start(), id="start"),
    pytest.param(lambda c: c.is_running(), id="is_running"),
    pytest.param(lambda c: c.ensure_ok(), id="ensure_ok"),
    pytest.param(lambda c: c.__enter__(), id="__enter__"),
    pytest.param(lambda c: c.__exit__(None, None, None), id="__exit__"),
    pytest.param(lambda c: c.get_data_packets(), id="get_data_packets"),
    pytest.param(lambda c: c.get_data_array(), id="get_data_array"),
    pytest.param(lambda c: c.get_device_info(0), id="get_device_info"),
    pytest.param(lambda c: c.get_device_config(0), id="get_device_config"),
    pytest.param(lambda c: c.set_device_config("x", 1, DeviceProtocol.USB, 0), id="set_device_config"),
    pytest.param(lambda c: c.get_calibration(0), id="get_calibration"),
    pytest.param(
        lambda c: c.set_imu_calibration([0] * 3, [0] * 9, [0] * 3, [0] * 9, 0), id="set_imu_calibration"
    ),
    pytest.param(
        lambda c: c.set_magnetometer_calibration([0] * 3, [0] * 9, 0), id="set_magnetometer_calibration"
    ),
    pytest.param(lambda c: c.reboot(), id="reboot"),
    pytest.param(lambda c: c.cancel(0), id="cancel"),
    pytest.param(
        lambda c: c.run_and_apply_magnetometer_calibration(0, 0), id="run_and_apply_magnetometer_calibration"
    ),
    pytest.param(lambda c: c.start_mock_log_stream("a.log"), id="start_mock_log_stream"),
    pytest.param(lambda c: c.stop_mock_log_stream(), id="stop_mock_log_stream"),
    pytest.param(lambda c: c.is_mock_log_streaming(), id="is_mock_log_streaming"),
    # the thread is checked before the arguments
    pytest.param(lambda c: c.get_device_info("not a number"), id="bad-arguments"),
]


@pytest.mark.parametrize("call", FOREIGN_CALLS)
def test_calls_from_another_thread_are_refused_and_change_nothing(started, call):
    client, device = started
    kind, error = run_in_thread(lambda: call(client))
    assert kind == "error"
    assert type(error) is InternalFaultError and not isinstance(error, Exception)
    assert UNSENDABLE in str(error)
    assert client.is_running()
    assert device.wait_for_command_identifier(0.2) is None  # no frame went out
    device.inject_response(wire.CANCEL, b"\x01")
    assert client.cancel(10.0) is True


def test_a_client_created_on_another_thread_belongs_to_that_thread_alone():
    made = []
    assert run_in_thread(lambda: made.append((threading.get_ident(), *VYREClient.new_mock())))[0] == "value"
    creator, client, device = made[0]
    with pytest.raises(InternalFaultError, match=UNSENDABLE):
        client.is_running()
    with pytest.raises(InternalFaultError, match="MockDeviceHandle is unsendable"):
        device.wait_for_command_identifier(0)
    # the C library hands a finished thread's identity to a later thread: even
    # the one that got the creator's is refused
    calls = [
        client.is_running,
        lambda: device.wait_for_command_identifier(0),
        lambda: device.inject_response(wire.CANCEL, b"\x01"),
    ]
    idents = []
    for _ in range(50):
        for call in calls:
            kind, error = run_in_thread(lambda: idents.append(threading.get_ident()) or call())
            assert kind == "error" and type(error) is InternalFaultError, error
            assert "is unsendable, but sent to another thread" in str(error)
        if creator in idents:
            break


@pytest.mark.lock_modes
@pytest.mark.parametrize("on_other_thread", [False, True])
@pytest.mark.parametrize("work, threads", [("none", 0), ("reader", 1), ("reader-and-stream", 2)])
def test_releasing_a_client_ends_its_threads_quietly(long_log, work, threads, on_other_thread):
    unraisable = []
    previous_hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        before = thread_count()
        client, device = VYREClient.new_mock()
        if work == "reader":
            client.start()
        elif work == "reader-and-stream":
            device.inject_response(wire.ENTER_MOCK_MODE, b"\x01")
            client.start_mock_log_stream(long_log)
            assert client.is_mock_log_streaming()
        assert thread_count() == before + threads
        box = [client]
        del client
        if on_other_thread:
            assert run_in_thread(box.clear) == ("value", None)
        else:
            box.clear()
        assert eventually(lambda: thread_count() == before)
    finally:
        sys.unraisablehook = previous_hook
    assert unraisable == []
    if work != "reader-and-stream":
        assert device.wait_for_command_identifier(0) is None  # the release itself sends nothing


# ---- signals during waits


class Abandon(Exception):
    pass


def raise_abandon(*_):
    raise Abandon


WAITS = [
    pytest.param(lambda c, d: c.get_device_info(60), wire.DEVICE_INFO, id="get_device_info"),
    pytest.param(lambda c, d: c.cancel(timeout_seconds=60), wire.CANCEL, id="cancel"),
    pytest.param(lambda c, d: c.get_data_packets(block=True), None, id="get_data_packets"),
    pytest.param(lambda c, d: c.get_data_array(block=True), None, id="get_data_array"),
    pytest.param(lambda c, d: d.wait_for_command_identifier(60), None, id="wait_for_command_identifier"),
]


@pytest.mark.lock_modes
@pytest.mark.parametrize("wait, sent", WAITS)
@pytest.mark.parametrize("handler, raised", [(press_ctrl_c, KeyboardInterrupt), (raise_abandon, Abandon)])
def test_a_signal_ends_a_wait_promptly_and_leaves_the_client_usable(wait, sent, handler, raised):
    client, device = VYREClient.new_mock(60)
    client.start()
    begin = time.monotonic()
    with alarm(0.3, handler), pytest.raises(raised):
        wait(client, device)
    assert time.monotonic() - begin < 20
    assert client.is_running()
    if sent is not None:
        # as after a time-out: the frame went out, and its late answer is kept
        assert device.wait_for_command_identifier(10.0) == sent
    device.inject_response(wire.DEVICE_INFO, wire.device_info_payload(7, b"v"))
    assert client.get_device_info(10.0).id == 7
    client.stop()


@pytest.mark.lock_modes
def test_a_signal_handler_cannot_reenter_a_waiting_client():
    client, _ = VYREClient.new_mock(60)
    client.start()
    seen = []

    def reenter(*_):
        for call in (client.stop, client.is_running):
            try:
                call()
            except RuntimeError as error:
                seen.append(str(error))

    with alarm(0.2, reenter):
        assert client.get_device_info(0.6) is None
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    assert client.is_running()
    client.stop()


# in a child process: before the fix the re-entered wait hung the process for good
REENTER_HANDLE_WAIT = """
from harness import alarm
from vyre_client import VYREClient

client, device = VYREClient.new_mock()
with alarm(0.2, lambda *_: device.wait_for_command_identifier(0)):
    try:
        device.wait_for_command_identifier(60)
    except RuntimeError as error:
        print(error)
client.start()
client.reboot()
print(device.wait_for_command_identifier(10.0))
client.stop()
"""


def test_a_signal_handler_cannot_reenter_a_waiting_handle():
    try:
        done = subprocess.run(
            [sys.executable, "-c", REENTER_HANDLE_WAIT],
            capture_output=True,
            text=True,
            timeout=120,
            cwd=os.path.dirname(__file__),
            stdin=subprocess.DEVNULL,
        )
    except subprocess.TimeoutExpired:
        pytest.fail("the re-entered wait hung")
    assert (done.returncode, done.stdout, done.stderr) == (0, f"Already borrowed\n{wire.REBOOT}\n", "")
