"""get_data_array: the packets of get_data_packets as one numpy structured array,
with the host's receive time, read from a pseudo-terminal."""

import os
import random
import struct
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import wire
from harness import eventually
from vyre_client import VYREClient, VYREDataPacket

COLUMNS = VYREDataPacket.__struct_fields__ + ["host_time_seconds", "synced_time_seconds"]
DOUBLES = ("timestamp_seconds", "host_time_seconds", "synced_time_seconds")
DTYPE = np.dtype([(name, "<f8" if name in DOUBLES else "<f4") for name in COLUMNS])


def f32(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def f64(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


# what a device may send besides ordinary numbers: NaNs with payloads, infinities,
# signed zero, the smallest subnormal and the largest float
SPECIAL = [f32(0x7FC12345), f32(0xFFC00001), float("inf"), float("-inf"), -0.0, f32(1), f32(0x7F7FFFFF)]
SPECIAL_TIMESTAMPS = [f64(0x7FF8000000000123), float("inf"), float("-inf"), -0.0]


def still(timestamp):
    """Telemetry of a level device at rest."""
    return wire.telemetry([float(timestamp)] + [0.0] * 4 + [1.0] + [0.0] * 8 + [1.0, 0.0, 0.0, 0.0])


def mixed_stream(count):
    rng = random.Random(7)
    stream = bytearray(still(-1))  # fixes the up axis for everything after it
    for i in range(count):
        values = [1000.0 + i] + [rng.uniform(-50.0, 50.0) for _ in range(17)]
        values[1 + i % 17] = SPECIAL[i % len(SPECIAL)]
        if i % 5 == 0:
            values[0] = SPECIAL_TIMESTAMPS[i // 5 % len(SPECIAL_TIMESTAMPS)]
        stream += wire.telemetry(values)
    return bytes(stream)


def take(call, count):
    """`count` packets, from as many calls of `call` as it takes: what the calls
    that found any returned."""
    parts = []

    def more():
        got = call()
        if len(got):
            parts.append(got)
        return sum(map(len, parts)) >= count

    assert eventually(more)
    assert sum(map(len, parts)) == count
    return parts


def test_rows_hold_bit_for_bit_what_the_packets_hold(pty_device, client):
    stream = mixed_stream(120)
    pty_device.write(stream)
    array = np.concatenate(take(client.get_data_array, 121))
    pty_device.write(stream)  # again, now for packets: the same reader, so the same up axis
    packets = [p for part in take(client.get_data_packets, 121) for p in part]
    client.ensure_ok()
    assert array.dtype == DTYPE
    for name in VYREDataPacket.__struct_fields__:
        expected = np.array([getattr(p, name) for p in packets], dtype=DTYPE[name])
        assert array[name].tobytes() == expected.tobytes(), name


def test_an_empty_queue_gives_an_empty_array_of_the_same_dtype(client):
    array = client.get_data_array()
    assert array.shape == (0,)
    assert array.dtype == DTYPE and array.dtype.names == tuple(COLUMNS) and array.dtype.itemsize == 112


@pytest.mark.lock_modes
def test_the_two_calls_share_one_queue_each_packet_once_oldest_first(pty_device, client):
    calls = [
        lambda: client.get_data_array(block=True),
        lambda: client.get_data_packets(block=True),
        client.get_data_packets,
        client.get_data_array,
    ]
    taken = []
    for chunk in range(40):
        pty_device.write(b"".join(still(chunk * 5 + i) for i in range(5)))
        got = calls[chunk % len(calls)]()
        taken += (
            [p.timestamp_seconds for p in got] if isinstance(got, list) else got["timestamp_seconds"].tolist()
        )
    rest = take(client.get_data_array, 200 - len(taken)) if len(taken) < 200 else []
    taken += [t for part in rest for t in part["timestamp_seconds"].tolist()]
    assert taken == list(range(200))


def test_an_array_keeps_its_rows_through_later_calls_and_after_its_client(pty_device):
    # an array owns the block that queued its rows; the queue goes on with others
    client = VYREClient(pty_device.path)
    client.start()
    pty_device.write(b"".join(still(i) for i in range(50)))
    kept = take(client.get_data_array, 50)
    for turn in range(1, 4):
        pty_device.write(b"".join(still(-i) for i in range(50)))
        take(client.get_data_array if turn % 2 else client.get_data_packets, 50)
    client.stop()
    del client
    assert np.concatenate(kept)["timestamp_seconds"].tolist() == list(range(50))


def test_host_time_is_the_time_of_the_read_that_completed_the_frame(pty_device, client):
    begin = time.time()
    pty_device.write(still(0))
    first = take(client.get_data_array, 1)[0]
    time.sleep(0.05)
    pty_device.write(still(1) + still(2) + still(3))  # one write, one read
    rest = np.concatenate(take(client.get_data_array, 3))
    end = time.time()
    times = [first["host_time_seconds"][0]] + rest["host_time_seconds"].tolist()
    assert begin <= times[0] < times[1] <= end
    assert times[1] == times[2] == times[3]


def test_works_as_the_data_of_a_pandas_data_frame(pty_device, client):
    pandas = pytest.importorskip("pandas")
    pty_device.write(still(0) + still(1))
    frame = pandas.DataFrame(np.concatenate(take(client.get_data_array, 2)))
    assert list(frame.columns) == COLUMNS
    assert frame["timestamp_seconds"].tolist() == [0.0, 1.0]
    assert list(pandas.DataFrame(client.get_data_array()).columns) == COLUMNS


# Run in a fresh interpreter: numpy blocked or not yet imported. Once the queue holds
# one packet, the script prints what get_data_array gave, then what get_data_packets finds.
NUMPY_SCRIPT = """
import sys, time
{block}
sys.path.insert(0, {tests!r})
from harness import PtyDevice
from vyre_client import VYREClient
print(sys.modules.get("numpy") is not None)
device = PtyDevice()
client = VYREClient(device.path)
client.start()
device.write({frame!r})
end = time.monotonic() + 30
while client.link_statistics()["packets_waiting"] < 1 and time.monotonic() < end:
    time.sleep(0.01)
try:
    print(len(client.get_data_array(block=True)), sys.modules.get("numpy") is not None)
except ImportError as error:
    print(type(error).__name__, error)
print(len(client.get_data_packets()))
client.stop()
device.close()
"""


@pytest.mark.parametrize(
    "block, lines",
    [
        ("", ["False", "1 True", "0"]),
        # without numpy nothing is taken: the packet stays for get_data_packets
        (
            "sys.modules['numpy'] = None",
            ["False", "ImportError get_data_array needs numpy: pip install numpy", "1"],
        ),
    ],
)
def test_numpy_is_imported_by_the_first_call_and_its_absence_explained(block, lines):
    # the frame is built here: the test helpers import numpy
    frame = wire.telemetry([5.0] + [0.0] * 13 + [1.0, 0.0, 0.0, 0.0])
    script = textwrap.dedent(NUMPY_SCRIPT).format(block=block, tests=os.path.dirname(__file__), frame=frame)
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == lines
