"""VYREClient on a real serial transport: a pseudo-terminal whose other end the
test plays as the device. Waiting calls hold the interpreter lock, so the
device's answers are written before the call that needs them."""

import math
import random
import select
import threading
import time

import pytest

import wire
from harness import (
    InternalFaultError,
    NEGATIVE,
    TOO_BIG,
    alarm,
    eventually,
    press_ctrl_c,
    run_in_thread,
    thread_count,
)
from vyre_client import DeviceProtocol, VYREClient, VYREDataPacket

HANG_UP = r"^Serial port disconnected \(hang-up\)$"
COMMAND_CHANNEL_CLOSED = "^Command channel closed$"

INFO = wire.device_info_payload(42, b"2.0.1")
NAME_40 = "abcdefghij" * 4


def f32_payload(*groups):
    return wire.f32s([value for group in groups for value in group])


# (call, answer the device gives first or None, exact bytes of the command, expected result)
COMMANDS = [
    pytest.param(
        lambda c: c.get_device_info(10).id,
        wire.response(1, INFO),
        bytes.fromhex("6bb6010000000000dc78"),
        42,
        id="get_device_info",
    ),
    pytest.param(
        lambda c: c.get_device_config(10).frequency,
        wire.response(2, wire.device_config_payload(b"n", 250, 4)),
        bytes.fromhex("6bb6020000000000a174"),
        250,
        id="get_device_config",
    ),
    pytest.param(
        lambda c: c.get_calibration(10).magnetometer_offsets,
        wire.response(8, wire.f32s(range(36))),
        bytes.fromhex("6bb6080000000000af5d"),
        [24.0, 25.0, 26.0],
        id="get_calibration",
    ),
    pytest.param(
        lambda c: c.cancel(10),
        wire.response(255, b"\x01"),
        bytes.fromhex("6bb6ff0000000000dd81"),
        True,
        id="cancel",
    ),
    pytest.param(lambda c: c.reboot(), None, bytes.fromhex("6bb60400000000005b6c"), None, id="reboot"),
    pytest.param(
        lambda c: c.set_device_config("rocket", 100, DeviceProtocol.UART, 10),
        wire.response(3, b"\x01"),
        bytes.fromhex("6bb6030023000000726f636b6574") + bytes(26) + bytes.fromhex("640002524a"),
        True,
        id="set_device_config",
    ),
    pytest.param(
        lambda c: c.set_device_config(NAME_40, 65535, DeviceProtocol.SPI, 0.2),
        None,
        wire.command(3, wire.set_device_config_payload(NAME_40.encode(), 65535, 4)),
        False,
        id="set_device_config-long-name",
    ),
    pytest.param(
        lambda c: c.set_device_config("é" * 20, 0, DeviceProtocol.I2C, 0.2),
        None,
        wire.command(3, wire.set_device_config_payload(("é" * 20).encode(), 0, 3)),
        False,
        id="set_device_config-cut-inside-a-character",
    ),
    pytest.param(
        lambda c: c.set_device_config("", 1, DeviceProtocol.USB, 10),
        wire.response(3, b"\x00"),
        wire.command(3, bytes(32) + b"\x01\x00\x01"),
        False,
        id="set_device_config-refused",
    ),
    pytest.param(
        lambda c: c.set_imu_calibration(
            [0.1, 2, 3], range(1, 10), (-1, -2, -3), [9, 8, 7, 6, 5, 4, 3, 2, 1], 10
        ),
        wire.response(7, b"\x01"),
        wire.command(7, f32_payload([0.1, 2, 3], range(1, 10), [-1, -2, -3], range(9, 0, -1))),
        True,
        id="set_imu_calibration",
    ),
    pytest.param(
        lambda c: c.set_magnetometer_calibration((-3.4e38, -0.0, 1e-3), [1e-45] + [0] * 8, 10),
        wire.response(6, b"\x01"),
        wire.command(6, f32_payload([-3.4e38, -0.0, 1e-3], [1e-45] + [0] * 8)),
        True,
        id="set_magnetometer_calibration",
    ),
]


@pytest.mark.lock_modes
@pytest.mark.parametrize("call, answer, sent, expected", COMMANDS)
def test_each_command_puts_exactly_its_frame_on_the_wire(pty_device, client, call, answer, sent, expected):
    if answer is not None:
        pty_device.write(answer)
    assert call(client) == expected
    assert pty_device.read(len(sent)) == sent
    assert pty_device.quiet(0.2) == b""


def sample(rng, index):
    values = [1000.0 + index / 3] + [rng.uniform(-50.0, 50.0) for _ in range(17)]
    # gravity mostly along +Z, so every packet, first or later, picks the same up axis
    values[3:6] = [rng.uniform(-0.2, 0.2), rng.uniform(-0.2, 0.2), rng.uniform(0.8, 1.2)]
    return values


def test_telemetry_through_noise_arrives_exactly_once_in_order(pty_device, client):
    rng = random.Random(20240611)
    noise = [b for b in range(256) if b not in (0x5A, 0xA5)]
    samples = [sample(rng, i) for i in range(300)]
    stream = bytearray()
    for i, values in enumerate(samples):
        stream += bytes(rng.choice(noise) for _ in range(rng.randrange(0, 30)))
        if i % 10 == 3:
            corrupt = bytearray(wire.telemetry([-1.0] + values[1:]))
            corrupt[20] ^= 0x10
            stream += corrupt
        if i % 10 == 7:
            stream += wire.command(1)  # host-to-device frames from the device are noise
        stream += wire.telemetry(values)
    stream += bytes(rng.choice(noise) for _ in range(4200))  # settles any false start in the last frames
    pty_device.write(stream)

    packets = []
    eventually(lambda: packets.extend(client.get_data_packets()) or len(packets) >= len(samples))
    assert len(packets) == len(samples)
    client.ensure_ok()
    for packet, values in zip(packets, samples):
        assert type(packet) is VYREDataPacket
        assert packet.as_dict() == VYREDataPacket(*values).as_dict()
    assert client.get_data_packets() == []


@pytest.mark.lock_modes
def test_blocking_read_waits_for_the_first_packet_and_takes_the_rest(pty_device):
    client = VYREClient(pty_device.path, timeout=30.0)  # a loaded machine's reader may be slow to run
    client.start()
    frames = [wire.telemetry([float(i)] + [0.0] * 13 + [1.0, 0.0, 0.0, 0.0]) for i in range(5)]
    pty_device.write(b"".join(frames))
    packets = []
    while len(packets) < 5:
        got = client.get_data_packets(block=True)
        assert got
        packets += got
    assert [p.timestamp_seconds for p in packets] == [0.0, 1.0, 2.0, 3.0, 4.0]
    client.close()


@pytest.mark.lock_modes
@pytest.mark.parametrize(
    "timeout, error, message",
    [
        (0.3, OSError, "^timed out waiting on channel$"),
        (-1.0, InternalFaultError, NEGATIVE),
        (math.nan, InternalFaultError, TOO_BIG),
    ],
)
def test_blocking_read_waits_for_the_client_timeout(pty_device, timeout, error, message):
    client = VYREClient(pty_device.path, timeout=timeout)
    begin = time.monotonic()
    with pytest.raises(error, match=message):
        client.get_data_packets(block=True)
    if timeout > 0:
        assert time.monotonic() - begin >= 0.25


FIRST_CONSUMERS = [
    pytest.param(lambda c: c.ensure_ok(), id="ensure_ok"),
    pytest.param(lambda c: c.get_device_info(0), id="get_device_info"),
    # the pending error is raised before the time-out is looked at
    pytest.param(lambda c: c.get_device_info(-1), id="get_device_info-bad-timeout"),
    pytest.param(lambda c: c.get_data_packets(), id="get_data_packets"),
    pytest.param(lambda c: c.get_data_array(), id="get_data_array"),
    pytest.param(lambda c: c.reboot(), id="reboot"),
]


@pytest.mark.parametrize("first", FIRST_CONSUMERS)
def test_unplugging_reports_the_hang_up_once_then_commands_find_the_channel_closed(pty_device, client, first):
    assert client.link_failure is None
    pty_device.unplug()
    assert eventually(lambda: not client.is_running())
    with pytest.raises(OSError, match=HANG_UP):
        first(client)
    # told once, but every other consumer still learns why the reader ended
    assert isinstance(client.link_failure, ConnectionResetError)
    assert str(client.link_failure) == "Serial port disconnected (hang-up)"
    assert client.ensure_ok() is None
    assert client.get_data_packets() == []
    for call in (lambda: client.get_device_info(0), lambda: client.cancel(0), client.reboot):
        with pytest.raises(OSError, match=COMMAND_CHANNEL_CLOSED):
            call()
    with pytest.raises(InternalFaultError):
        client.get_device_info(-1)
    # the port is still hung up: a restart says so at once, in the same words
    client.stop()
    with pytest.raises(OSError, match=HANG_UP):
        client.start()
    assert not client.is_running()
    client.ensure_ok()
    assert client.get_device_info(0.05) is None  # stopped: a time-out, as before any start


@pytest.mark.lock_modes
@pytest.mark.parametrize(
    "wait",
    [
        pytest.param(lambda c: c.get_device_info(30), id="transaction"),
        pytest.param(lambda c: c.get_data_packets(block=True), id="packet-wait"),
        pytest.param(lambda c: c.get_data_array(block=True), id="array-wait"),
    ],
)
def test_unplugging_ends_a_wait_in_progress_once(pty_device, wait):
    client = VYREClient(pty_device.path, timeout=30.0)
    client.start()
    begin = time.monotonic()
    with alarm(0.2, lambda *_: pty_device.unplug()), pytest.raises(OSError, match=HANG_UP):
        wait(client)
    assert time.monotonic() - begin < 10  # not the wait's 30 s
    client.ensure_ok()  # reported by the wait, not again


def test_the_port_is_exclusive_until_its_client_is_released(pty_device):
    first = VYREClient(pty_device.path)
    with pytest.raises(OSError) as caught:
        VYREClient(pty_device.path)
    assert str(caught.value).startswith(f"Failed to open serial port '{pty_device.path}': ")
    del first
    VYREClient(pty_device.path, baud_rate=None, timeout=None)


@pytest.mark.lock_modes
@pytest.mark.parametrize("release_on_other_thread", [False, True])
def test_releasing_a_running_client_anywhere_stops_it_and_frees_the_port(pty_device, release_on_other_thread):
    before = thread_count()
    box = [VYREClient(pty_device.path, 115200, 0.05)]
    box[0].start()
    assert thread_count() == before + 1
    if release_on_other_thread:
        assert run_in_thread(box.clear) == ("value", None)
    else:
        box.clear()
    assert eventually(lambda: thread_count() == before)
    reopened = VYREClient(pty_device.path)
    reopened.start()
    pty_device.write(wire.response(1, INFO))
    assert reopened.get_device_info(10).firmware_version == "2.0.1"


@pytest.mark.lock_modes
def test_ctrl_c_ends_a_long_transaction_and_the_frame_stays_sent(pty_device, client):
    begin = time.monotonic()
    with alarm(0.3, press_ctrl_c), pytest.raises(KeyboardInterrupt):
        client.get_device_info(30)
    assert time.monotonic() - begin < 10
    assert pty_device.read(10) == wire.command(1)
    pty_device.write(wire.response(1, INFO))
    assert client.get_device_info(10).id == 42


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (
            {"port_name": "/dev/does-not-exist"},
            OSError,
            r"^Serial port '/dev/does-not-exist' not found\. Check the port name \(e\.g\. COM8, /dev/ttyACM0\)\.$",
        ),
        ({"port_name": None}, TypeError, "argument 'port_name'"),
        ({"port_name": b"/dev/null"}, TypeError, "argument 'port_name'"),
        ({}, TypeError, "missing required argument 'port_name'"),
        (
            {"port_name": "x", "baud_rate": -1},
            OverflowError,
            "^out of range integral type conversion attempted$",
        ),
        (
            {"port_name": "x", "baud_rate": 2**32},
            OverflowError,
            "^out of range integral type conversion attempted$",
        ),
        ({"port_name": "x", "baud_rate": 9600.0}, TypeError, "argument 'baud_rate'"),
        ({"port_name": "x", "timeout": "0.1"}, TypeError, "argument 'timeout'"),
        ({"port_name": "x", "parity": None}, TypeError, "unexpected keyword argument 'parity'"),
    ],
)
def test_constructor_argument_and_open_errors(kwargs, error, message):
    with pytest.raises(error, match=message):
        VYREClient(**kwargs)


@pytest.mark.parametrize("keep, returned, refused", [(True, 1, 0), (False, 2, 1)])
@pytest.mark.parametrize("late_during_next", [False, True], ids=["late-before-next", "late-during-next"])
def test_a_late_answer_goes_to_the_next_call_only_while_late_answers_are_kept(
    pty_device, client, keep, returned, refused, late_during_next
):
    client.release_gil = True  # the device answers from a thread during the wait
    client.keep_late_answers = keep
    ready = client.fileno()
    assert client.get_device_info(0.05) is None
    assert pty_device.read(10) == wire.command(wire.DEVICE_INFO)
    late = wire.response(wire.DEVICE_INFO, wire.device_info_payload(1, b"late"))
    if not late_during_next:
        pty_device.write(late)
        if keep:  # the late answer is in (a call of the client would mark it seen)
            assert select.select([ready], [], [], 10)[0]
        else:  # refused as it came
            assert eventually(lambda: client.link_statistics()["answers_dropped"])

    def device():
        if pty_device.read(10) == wire.command(wire.DEVICE_INFO):
            pty_device.write(
                (late if late_during_next else b"")
                + wire.response(wire.DEVICE_INFO, wire.device_info_payload(2, b"own"))
            )

    answering = threading.Thread(target=device)
    answering.start()
    info = client.get_device_info(10)
    answering.join()
    assert info.id == returned
    assert client.link_statistics()["answers_dropped"] == refused
