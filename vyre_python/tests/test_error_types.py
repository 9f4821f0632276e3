"""What a client's errors carry besides their text: a class that tells what
happened (an OSError still), the system's errno, and each failure reported once."""

import errno

import pytest

import wire
from harness import alarm, eventually
from vyre_client import VYREClient

HANG_UP = r"^Serial port disconnected \(hang-up\)$"


def test_a_missing_port_is_a_file_not_found_error_with_its_text():
    with pytest.raises(
        FileNotFoundError,
        match=r"^Serial port '/dev/does-not-exist' not found\. Check the port "
        r"name \(e\.g\. COM8, /dev/ttyACM0\)\.$",
    ) as caught:
        VYREClient("/dev/does-not-exist")
    assert caught.value.errno == errno.ENOENT


@pytest.mark.parametrize(
    "call, message",
    [
        pytest.param(
            lambda c: c.get_data_packets(block=True), "^timed out waiting on channel$", id="packet-wait"
        ),
        pytest.param(
            lambda c: c.start_mock_log_stream("a.log", start_timeout_seconds=0.05),
            "^Timed out waiting for mock acknowledgement$",
            id="mock-handshake",
        ),
    ],
)
def test_a_wait_that_runs_out_is_a_timeout_error(mock, call, message):
    with pytest.raises(TimeoutError, match=message):
        call(mock[0])


@pytest.mark.parametrize(
    "wait",
    [
        pytest.param(lambda c: c.get_data_packets(block=True), id="packet-wait"),
        pytest.param(lambda c: c.get_device_info(30), id="transaction"),
    ],
)
def test_a_lost_link_is_a_connection_error_counted_before_the_wait_ends(pty_device, wait):
    client = VYREClient(pty_device.path, timeout=30.0)
    client.start()
    with alarm(0.2, lambda *_: pty_device.unplug()), pytest.raises(ConnectionResetError, match=HANG_UP):
        wait(client)
    assert client.link_statistics()["read_errors"] == 1
    with pytest.raises(ConnectionResetError, match="^Command channel closed$"):
        client.get_device_info(0)
    client.close()


@pytest.mark.parametrize("first", ["stop_mock_log_stream", "ensure_ok"])
def test_a_missing_replay_file_is_reported_once_as_file_not_found(started, tmp_path, first):
    client, device = started
    device.inject_response(wire.ENTER_MOCK_MODE, b"\x01")
    client.start_mock_log_stream(tmp_path / "missing.log")  # a path object
    assert eventually(lambda: not client.is_mock_log_streaming())
    with pytest.raises(FileNotFoundError, match="^No such file or directory$") as caught:
        getattr(client, first)()
    assert caught.value.errno == errno.ENOENT
    assert client.stop_mock_log_stream() is None
    client.ensure_ok()
