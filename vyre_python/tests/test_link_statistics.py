"""VYREClient.link_statistics() on a pseudo-terminal: exact counts for crafted
bytes, kept across stop and start."""

import pytest

import wire
from harness import eventually
from vyre_client import VYREClient

KEYS = [
    "bytes_received",
    "frame_bytes",
    "noise_bytes",
    "buffered_bytes",
    "telemetry_frames",
    "response_frames",
    "short_frames",
    "unknown_responses",
    "crc_rejected",
    "length_rejected",
    "given_up",
    "answers_dropped",
    "packets_delivered",
    "packets_waiting",
    "read_errors",
    "packets_discarded",
]


def level(t):
    return wire.telemetry([float(t)] + [0.0] * 13 + [1.0, 0.0, 0.0, 0.0])


def settles_at(client, want):
    eventually(lambda: client.link_statistics() == want)
    assert client.link_statistics() == want


@pytest.fixture
def client(pty_device):
    client = VYREClient(pty_device.path)
    yield client
    client.stop()


def test_counts_of_crafted_bytes_go_on_across_stop_and_start(pty_device, client):
    want = dict.fromkeys(KEYS, 0)
    assert client.link_statistics() == want  # the keys, in the documented order
    corrupt = bytearray(level(9))
    corrupt[20] ^= 0x10
    stream = (
        bytes.fromhex("005aa50000ff")  # a header pair whose length field runs into the next frame
        + level(1)
        + bytes(corrupt)
        + wire.response(9, b"\x01\x02")
        + wire.frame(wire.DATA_HEADER, 0, bytes(10))
        + level(2)
        + wire.response(wire.CANCEL, b"\x01") * 257
    )  # one acknowledgement too many to keep
    client.start()
    pty_device.write(stream)
    want.update(
        bytes_received=len(stream),
        frame_bytes=2 * 86 + 20 + 257 * 11,
        noise_bytes=6 + 86 + 12,
        telemetry_frames=2,
        response_frames=257,
        short_frames=1,
        unknown_responses=1,
        crc_rejected=1,
        length_rejected=1,
        answers_dropped=1,
        packets_waiting=2,
    )
    settles_at(client, want)
    assert len(client.get_data_packets()) == 2
    want.update(packets_delivered=2, packets_waiting=0)
    assert client.link_statistics() == want

    client.stop()
    assert client.link_statistics() == want
    client.start()
    tail = level(3) + level(4)[:40]
    pty_device.write(tail)
    # the cut frame is given up once the line is quiet; its last byte may still start a header
    want.update(
        bytes_received=want["bytes_received"] + len(tail),
        frame_bytes=want["frame_bytes"] + 86,
        noise_bytes=want["noise_bytes"] + 39,
        buffered_bytes=1,
        telemetry_frames=3,
        given_up=1,
        packets_waiting=1,
    )
    settles_at(client, want)
    client.stop()  # what the framer held is noise now
    want.update(noise_bytes=want["noise_bytes"] + 1, buffered_bytes=0)
    assert client.link_statistics() == want

    client.start()
    pty_device.unplug()
    want.update(read_errors=1)
    settles_at(client, want)
    with pytest.raises(OSError):
        client.ensure_ok()
