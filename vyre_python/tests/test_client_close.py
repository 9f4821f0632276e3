"""close(): the port let go of at once, a closed client that says so, and an
open refused by a client of this process that says which one holds the port."""

import pathlib
import re

import pytest

from vyre_client import VYREClient


def test_close_frees_the_port_for_the_next_client_while_the_old_one_lives(pty_device):
    for _ in range(3):  # the usual reconnect loop
        client = VYREClient(pathlib.Path(pty_device.path))
        with client:
            assert client.is_running() and not client.closed
            client.close()  # the block ends quietly after it
        assert client.closed and not client.is_running()
        client.close()


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda c: c.start(), id="start"),
        pytest.param(lambda c: c.__enter__(), id="__enter__"),
        pytest.param(lambda c: c.ensure_ok(), id="ensure_ok"),
        pytest.param(lambda c: c.get_data_packets(), id="get_data_packets"),
        pytest.param(lambda c: c.get_device_info(0), id="get_device_info"),
        pytest.param(lambda c: c.reboot(), id="reboot"),
        pytest.param(lambda c: c.start_mock_log_stream("a.log"), id="start_mock_log_stream"),
    ],
)
def test_a_closed_client_refuses_work_naming_itself(pty_device, call):
    client = VYREClient(pty_device.path)
    client.close()
    with pytest.raises(ValueError, match=f"^VYREClient\\('{re.escape(pty_device.path)}'\\) is closed$"):
        call(client)
    client.stop()
    assert isinstance(client.link_statistics(), dict)
    mock, _ = VYREClient.new_mock()
    mock.close()
    with pytest.raises(ValueError, match="^the VYREClient of a mock device is closed$"):
        call(mock)


def test_an_open_refused_by_a_client_of_this_process_names_it(pty_device):
    holder = VYREClient(pty_device.path)
    with pytest.raises(
        OSError, match=f"^Failed to open serial port '{re.escape(pty_device.path)}': "
    ) as caught:
        VYREClient(pathlib.Path(pty_device.path))
    [note] = caught.value.__notes__
    assert f"VYREClient('{pty_device.path}') of this process holds this port" in note and "close()" in note
    holder.close()
    VYREClient(pty_device.path).close()
