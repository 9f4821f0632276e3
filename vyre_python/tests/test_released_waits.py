"""release_gil and interrupt_hook: which waits let other threads run, and how
a thread that handles no signals gives a wait up."""

import gc
import sys
import threading
import time

import pytest

import wire
from harness import eventually, run_in_thread, thread_count
from vyre_client import VYREClient


def mag_calibration(c, d):
    d.inject_response(wire.SET_MAGNETOMETER_CALIBRATION, b"\x01")
    return c.run_and_apply_magnetometer_calibration(0.6, apply_timeout_seconds=0.1)


def mock_handshake(c, d):
    with pytest.raises(OSError, match="Timed out waiting for mock acknowledgement"):
        c.start_mock_log_stream("unused.log", start_timeout_seconds=0.6)


def packet_wait(c, d):
    with pytest.raises(OSError, match="timed out waiting on channel"):
        c.get_data_packets(block=True)


WAITS = [
    pytest.param(lambda c, d: c.get_device_info(0.6), id="transaction"),
    pytest.param(packet_wait, id="get_data_packets"),
    pytest.param(mock_handshake, id="mock-handshake"),
    pytest.param(mag_calibration, id="calibration"),
    pytest.param(
        lambda c, d: d.wait_for_command_identifier(0.6) and d.wait_for_command_identifier(0.6),
        id="wait_for_command_identifier",
    ),
]


@pytest.mark.parametrize("wait", WAITS)
@pytest.mark.parametrize("release", [False, True])
def test_other_threads_run_during_a_wait_only_when_the_lock_is_released(wait, release):
    client, device = VYREClient.new_mock(timeout=0.6)
    client.release_gil = device.release_gil = release
    client.start()
    ticks, running = [0], [True]

    def ticker():
        while running[0]:
            ticks[0] += 1
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        time.sleep(0.05)
        before = ticks[0]
        wait(client, device)
        during = ticks[0] - before
    finally:
        running[0] = False
        thread.join()
        client.stop()
    if release:
        assert during >= 50, during  # about 500 on an idle machine
    else:
        assert during <= 3, during  # at most the ticks on either side of the call


class GiveUp(Exception):
    pass


def test_an_interrupt_hook_ends_a_wait_on_a_thread_without_signals():
    asked = threading.Event()
    outcome = {}

    def owner():
        client, device = VYREClient.new_mock()
        client.release_gil = True
        calls = []

        def hook():
            calls.append(threading.get_ident())
            if asked.is_set():
                raise GiveUp

        client.interrupt_hook = hook
        assert client.interrupt_hook is hook
        client.start()
        started = time.monotonic()
        with pytest.raises(GiveUp):
            client.get_device_info(60)
        outcome["took"] = time.monotonic() - started
        outcome["hook ran on"] = set(calls)
        # usable afterwards, the late answer claimed by the next call of its kind
        device.inject_response(wire.CANCEL, b"\x01")
        outcome["cancel"] = client.cancel(10.0)
        client.interrupt_hook = None
        client.stop()
        return threading.get_ident()

    timer = threading.Timer(0.3, asked.set)
    timer.start()
    kind, ident = run_in_thread(owner)
    timer.join()
    assert kind == "value", ident
    assert outcome["took"] < 10
    assert outcome["hook ran on"] == {ident}
    assert outcome["cancel"] is True


@pytest.mark.lock_modes
@pytest.mark.parametrize(
    "name, value, message",
    [
        ("release_gil", 1, "release_gil must be a bool"),
        ("interrupt_hook", 5, "interrupt_hook must be callable or None"),
        ("keep_late_answers", 0, "keep_late_answers must be a bool"),
    ],
)
def test_wait_settings_take_only_their_kind_of_value(mock, release_gil, name, value, message):
    client, device = mock
    assert client.release_gil is device.release_gil is release_gil  # the suite's default
    assert client.interrupt_hook is None
    assert client.keep_late_answers is True
    with pytest.raises(TypeError, match=message):
        setattr(client, name, value)
    with pytest.raises(TypeError):
        del client.release_gil
    with pytest.raises(TypeError, match="release_gil must be a bool"):
        device.release_gil = None


def test_a_client_whose_hook_refers_to_it_is_collected():
    before = thread_count()
    client, _ = VYREClient.new_mock()
    client.start()
    client.interrupt_hook = lambda: client
    del client
    gc.collect()
    assert eventually(lambda: thread_count() == before)  # its reader was stopped


def test_other_threads_run_while_a_client_opens_its_port(pty_device):
    """The open's settle time (50 ms) passes without the interpreter lock: a
    thread that needs the lock gets on meanwhile, not only before and after."""
    beats = []
    stop = threading.Event()

    def beat():
        while not stop.is_set():
            beats.append(time.monotonic())

    previous = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    beating = threading.Thread(target=beat)
    beating.start()
    try:
        for _ in range(5):  # a loaded machine may keep the thread off a core once
            started = time.monotonic()
            client = VYREClient(pty_device.path)
            ended = time.monotonic()
            del client
            # beats in the first and last few switch intervals may come from
            # lock hand-overs just before and after the call
            if any(started + 0.01 < t < ended - 0.01 for t in beats):
                break
            beats.clear()
        else:
            pytest.fail("no other thread ran while the port opened")
    finally:
        stop.set()
        beating.join()
        sys.setswitchinterval(previous)
