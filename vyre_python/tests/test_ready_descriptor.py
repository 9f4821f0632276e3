"""VYREClient.fileno(): readable while something waits to be taken."""

import fcntl
import os
import selectors

import pytest

import wire
from harness import eventually
from vyre_client import VYREClient


def readable(fd, within=0.0):
    with selectors.DefaultSelector() as selector:
        selector.register(fd, selectors.EVENT_READ)
        return bool(selector.select(within))


def sample(i):
    return wire.telemetry([float(i)] + [0.0] * 13 + [1.0, 0.0, 0.0, 0.0])


def test_packets_and_errors_make_it_readable_until_taken(pty_device, client):
    fd = client.fileno()
    assert client.fileno() == fd
    assert fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC and not os.get_blocking(fd)
    assert not readable(fd)
    for burst in range(3):
        pty_device.write(b"".join(sample(burst * 10 + i) for i in range(5)))
        got = []
        while len(got) < 5:
            assert readable(fd, 10.0)
            got += client.get_data_packets()
        assert [p.timestamp_seconds for p in got] == [burst * 10.0 + i for i in range(5)]
        assert not readable(fd)
    pty_device.unplug()
    assert readable(fd, 10.0)
    with pytest.raises(OSError, match="disconnected"):
        client.ensure_ok()
    assert not readable(fd)


def test_a_response_nobody_waits_for_wakes_once_and_stays_for_its_call(started):
    client, device = started
    fd = client.fileno()
    device.inject_response(wire.CANCEL, b"\x01")
    assert readable(fd, 10.0)
    assert client.get_data_packets() == []
    assert not readable(fd)  # seen: a poller is not woken again for it
    assert client.cancel(10.0) is True  # the late answer is still claimed


def test_what_came_before_the_first_call_counts_and_the_descriptor_closes_with_the_client(pty_device):
    client = VYREClient(pty_device.path)
    client.start()
    pty_device.write(sample(1))
    assert eventually(lambda: client.link_statistics()["telemetry_frames"] == 1)
    fd = client.fileno()
    assert readable(fd, 10.0)
    link = f"/proc/self/fd/{fd}"
    assert os.readlink(link) == "anon_inode:[eventfd]"
    client.stop()
    del client
    assert not os.path.exists(link) or os.readlink(link) != "anon_inode:[eventfd]"
