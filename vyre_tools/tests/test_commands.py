import math
import struct
import time

import pytest

from vyre_tools.mocklog import MockLog

from .hostside import COMMAND, MOCK, frame

NEUTRAL = struct.pack("<12f", 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1)
OPTIONS = {
    "device_id": 0x1122334455667788,
    "firmware": "2.0.1-rc9",
    "name": "a device name that is longer than 32 bytes",
    "protocol": 2,
    "rate": 100,
}


def config(name, frequency, protocol):
    return name.ljust(32, b"\0") + struct.pack("<HB", frequency, protocol)


@pytest.mark.parametrize("sim", [OPTIONS], indirect=True)
@pytest.mark.parametrize(
    "ident,payload,answer",
    [
        (1, b"", struct.pack("<Q", 0x1122334455667788) + b"2.0.1-rc"),
        (2, b"", config(b"a device name that is longer tha", 100, 2)),
        (8, b"", NEUTRAL * 3),
        (5, b"", b"\x01"),
        (255, b"", b"\x01"),
        (3, config(b"rocket", 100, 2), b"\x01"),
        (3, config(b"rocket", 100, 7), b"\x00"),  # no such protocol
        (3, config(b"rocket", 5000, 1), b"\x00"),  # beyond the link
        (6, NEUTRAL, b"\x01"),
        (7, NEUTRAL * 2, b"\x01"),
    ],
)
def test_each_command_is_answered(sim, host, ident, payload, answer):
    assert host.request(ident, payload) == answer
    assert sim.status()["responses_by_id"] == {str(ident): 1}


def test_device_config_applies(sim, host):
    assert host.request(3, config(b"x" * 32, 50, 4)) == b"\x01"
    assert host.request(2) == config(b"x" * 32, 50, 4)
    host.telemetry.clear()
    host.read_for(0.3)
    stamps = [t[0] for t in host.telemetry]
    assert stamps[-1] - stamps[-2] == pytest.approx(0.02)
    assert host.request(3, config(b"", 0, 1)) == b"\x01"  # frequency 0 stops telemetry
    host.read_for(0.1)
    host.telemetry.clear()
    host.read_for(0.3)
    assert host.telemetry == []


def test_calibration_round_trip_is_bit_exact(sim, host):
    imu = struct.pack("<24f", *range(24))
    mag = struct.pack("<3f", 1.5, -2.25, math.inf) + struct.pack("<I", 0x7FC01234) + bytes(32)
    assert host.request(7, imu) == b"\x01"
    assert host.request(6, mag) == b"\x01"
    assert host.request(8) == imu + mag
    host.read_for(0.1)  # a calibration full of NaN and infinity keeps the device sending
    assert sim.status()["running"] and sim.status()["failure"] is None


@pytest.mark.parametrize("sim", [{"rate": 200, "reboot_seconds": 0.3}], indirect=True)
def test_reboot_pauses_and_restarts_the_clock(sim, host):
    assert host.request(5) == b"\x01"
    host.read_for(0.8)
    before = host.telemetry[-1][0]
    host.command(4)
    host.command(1)  # arrives while rebooting; answered once the device is up
    sent = time.monotonic()
    assert host.wait(lambda: any(r[0] == 1 for r in host.responses))
    assert host.responses[-1][2] - sent >= 0.25
    host.read_for(0.2)
    stamps = [t[0] for t in host.telemetry]
    after = [b for a, b in zip(stamps, stamps[1:]) if b < a]
    # the device clock starts again at the reboot
    assert len(after) == 1 and 0.29 <= after[0] < before
    s = sim.status()
    assert s["reboots"] == 1 and not s["mock_mode"] and "4" not in s["responses_by_id"]


def test_bad_and_unknown_frames_are_counted_and_ignored(sim, host):
    bad = bytearray(frame(COMMAND, 1))
    bad[-1] ^= 1
    host.send(
        bytes(bad)
        + b"\x6b\xb6junk"
        + frame(COMMAND, 9)
        + frame(COMMAND, 1, b"\x00")
        + frame(0xA55A, 0, bytes(76))
        + frame(COMMAND, 0)
    )
    assert host.request(2) is not None  # still in step
    s = sim.status()
    assert (s["bad_frames"], s["unknown_commands"], s["malformed_commands"]) == (1, 2, 1)
    assert s["responses_by_id"] == {"2": 1}


def test_mock_mode_counts_records(sim, host):
    log = MockLog().add_series(40, 0.001).end()
    frames = log.expected_frames()
    host.send(frame(MOCK, *frames[1]))  # before mock mode: ignored
    t0 = time.monotonic()
    assert host.request(5) == b"\x01"
    broken = bytearray(frame(MOCK, *frames[2]))
    broken[12] ^= 4
    host.send(bytes(broken) + frame(MOCK, ord("A"), bytes(9)) + frame(MOCK, ord("Z"), bytes(10)))
    for ident, payload in frames:
        host.send(frame(MOCK, ident, payload))
    assert host.request(255) == b"\x01"
    host.send(frame(MOCK, *frames[1]))  # after cancel: ignored
    s = sim.wait_status(lambda s: s["mock_outside"] == 2)
    assert s["mock_header_frames"] == 1 and s["mock_records"] == 40
    assert s["mock_records_by_type"] == {"A": 10, "B": 10, "M": 10, "I": 10}
    assert (s["mock_bad_length"], s["mock_unknown"], s["bad_frames"]) == (1, 1, 1)
    assert s["mock_digest"] == log.stream_digest() and not s["mock_mode"]
    records = sim.mock_records()
    assert [(r[0], r[1]) for r in records] == [(k, ts) for k, ts, _ in log.records]
    arrivals = [r[2] for r in records]
    assert arrivals == sorted(arrivals) and t0 <= arrivals[0] <= time.monotonic()


@pytest.mark.parametrize("sim", [{"partial_frame_wait": 0.25}], indirect=True)
def test_a_command_abandoned_half_way_is_given_up_once_the_line_is_quiet(sim, host):
    # its head promises 35 bytes: kept, they would swallow the next command
    host.send(frame(COMMAND, 3, config(b"rocket", 100, 2))[:12])
    assert sim.wait_status(lambda s: s["skipped_bytes"] > 0)["commands_by_id"] == {}
    assert host.request(1) == struct.pack("<Q", 0x5659_5245_0001_0042) + b"1.4.2\0\0\0"
    assert sim.status()["commands_by_id"] == {"1": 1}
