"""The client module against the simulated device, end to end: the public
VYREClient class on one side, the real serial transport over a
pseudo-terminal, and the simulator in a process of its own on the other
(the client's waiting calls hold the interpreter lock, so the device cannot
live in this process).  The simulator's counters and records, read over its
control pipe, say what the device really sent and received."""

import math
import statistics
import struct
import time

import pytest

import vyre_client
from vyre_tools.mocklog import TICKS_PER_SECOND, MockLog, write_mock_log
from vyre_tools.sim import Simulator

DEVICE_ID = 0x5659_5245_00E2_E001
FIRMWARE = "3.1.4"
NAME = "E2E-SIM"
RATE = 200
REBOOT_SECONDS = 0.3
LINK_RATE = 2300  # about what a 2 Mbaud link carries in 86-byte frames
HANG_UP = r"^Serial port disconnected \(hang-up\)$"
COMMAND_CHANNEL_CLOSED = "^Command channel closed$"
NEUTRAL = ([0.0] * 3, [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0])


def f32(values):
    return [struct.unpack("<f", struct.pack("<f", v))[0] for v in values]


def wait_for(predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.02)


def collect(client, seconds=None, until=None, timeout=30.0):
    """Packets taken from the client for ``seconds``, or until ``until(packets)``."""
    packets = []
    end = time.monotonic() + (seconds if seconds is not None else timeout)
    while True:
        packets += client.get_data_packets()
        if until is not None and until(packets):
            return packets
        if time.monotonic() >= end:
            assert until is None, f"only {len(packets)} packets arrived in time"
            return packets
        time.sleep(0.05)


def drain(device, client, packets):
    """Stop telemetry and take everything the device sent, so that what the
    client holds can be compared with the device's own count."""
    device.set_rate(0)
    device.wait_status(lambda s: s["pending_output_bytes"] == 0, timeout=30)
    sent = device.status()["telemetry_sent"]
    packets += collect(client, until=lambda got: len(packets) + len(got) >= sent)
    time.sleep(0.2)  # anything beyond the count would be a duplicate
    packets += client.get_data_packets()
    return device.status()


def timestamp_steps(packets):
    stamps = [p.timestamp_seconds for p in packets]
    return [b - a for a, b in zip(stamps, stamps[1:])]


def field_magnitudes(packets):
    return [
        math.sqrt(
            p.magnetic_field_x_microteslas**2
            + p.magnetic_field_y_microteslas**2
            + p.magnetic_field_z_microteslas**2
        )
        for p in packets
    ]


def relative_spread(values):
    mid = statistics.median(values)
    return max(abs(v - mid) for v in values) / mid


@pytest.fixture(scope="module")
def device():
    # the tumble at 2.5 times its pace, so that a short calibration sees every direction
    with Simulator.spawn(
        rate=RATE,
        device_id=DEVICE_ID,
        firmware=FIRMWARE,
        name=NAME,
        protocol=2,
        reboot_seconds=REBOOT_SECONDS,
        tumble_rates=(75, 180, 475),
    ) as s:
        yield s


@pytest.fixture
def client(device, start_client):
    """A started client on a clean link: telemetry at the default rate, no
    faults, nothing stale in the pty and the device's counters at zero."""
    device.set_noise(0)
    device.set_corrupt_rate(0)
    device.set_false_header(0)
    device.set_rate(RATE)
    device.reset_counters(discard_output=True)
    return start_client(device.port_name)


# ---------------------------------------------------------------- commands


def test_device_info_and_configuration_are_the_devices(client):
    info = client.get_device_info()
    assert (info.id, info.firmware_version) == (DEVICE_ID, FIRMWARE)
    config = client.get_device_config()
    assert (config.name, config.frequency, config.protocol) == (NAME, RATE, vyre_client.DeviceProtocol.UART)


@pytest.mark.parametrize(
    "name, frequency, protocol, stored",
    [
        ("abcdefghij" * 4, 500, "SPI", "abcdefghij" * 3 + "ab"),
        # 41 bytes: the device keeps 32, ending in the first byte of an "é"
        ("x" + "é" * 20, 1000, "I2C", "x" + "é" * 15 + "\ufffd"),
        ("probe-2", 250, "USB", "probe-2"),
    ],
    ids=["ascii-cut", "cut-inside-a-character", "short"],
)
def test_set_device_config_stores_the_cut_name_and_changes_the_telemetry_rate(
    device, client, name, frequency, protocol, stored
):
    protocol = getattr(vyre_client.DeviceProtocol, protocol)
    try:
        assert client.set_device_config(name, frequency, protocol) is True
        client.get_data_packets()  # what came before the answer is still at the old rate
        config = client.get_device_config()
        assert (config.name, config.frequency, config.protocol) == (stored, frequency, protocol)
        assert device.status()["rate"] == frequency
        steps = timestamp_steps(collect(client, until=lambda got: len(got) >= 40))
        assert steps == pytest.approx([1 / frequency] * len(steps), rel=1e-6)
    finally:
        client.set_device_config(NAME, RATE, vyre_client.DeviceProtocol.UART)


def test_calibrations_round_trip_and_reach_the_device(device, client):
    neutral = client.get_calibration()
    assert neutral.magnetometer_offsets == NEUTRAL[0]
    assert neutral.imu_gyroscope_scale_matrix == NEUTRAL[1]

    accel = ([0.1, -0.2, 0.3], [1.01, 0.02, 0.0, 0.02, 0.99, 0.0, 0.0, 0.0, 1.0])
    gyro = ((-1.5, 2.25, 1e-3), [0.5 * i for i in range(9)])
    mag = ([12.3, -6.9, 4.2], [0.93, -0.04, 0.03, -0.04, 1.07, -0.05, 0.03, -0.05, 0.98])
    try:
        assert client.set_imu_calibration(*accel, *gyro) is True
        values = client.get_calibration()
        assert (
            values.imu_accelerometer_offsets,
            values.imu_accelerometer_scale_matrix,
            values.imu_gyroscope_offsets,
            values.imu_gyroscope_scale_matrix,
        ) == (f32(accel[0]), f32(accel[1]), f32(gyro[0]), f32(gyro[1]))
        assert values.magnetometer_scale_matrix == NEUTRAL[1]  # untouched by the IMU write

        assert client.set_magnetometer_calibration(*mag) is True
        values = client.get_calibration()
        assert (values.magnetometer_offsets, values.magnetometer_scale_matrix) == (f32(mag[0]), f32(mag[1]))
        assert values.imu_gyroscope_offsets == f32(gyro[0])
        stored = device.status()["mag_calibration"]
        assert (stored["offsets"], stored["matrix"]) == (f32(mag[0]), f32(mag[1]))
    finally:
        client.set_magnetometer_calibration(*NEUTRAL)
        client.set_imu_calibration(*NEUTRAL, *NEUTRAL)


def test_reboot_pauses_telemetry_which_then_resumes_on_a_new_clock(device, client):
    def restarts(packets):
        return [i + 1 for i, step in enumerate(timestamp_steps(packets)) if step <= 0]

    # long enough on the old clock that the new one is seen to start over
    packets = collect(
        client, until=lambda got: len(got) >= 20 and got[-1].timestamp_seconds > REBOOT_SECONDS + 1.0
    )
    begin = time.monotonic()
    assert client.reboot() is None
    assert time.monotonic() - begin < 2.5  # never waits out a time-out for an answer
    packets += collect(
        client,
        until=lambda got: (
            restarts(packets + got) and len(packets) + len(got) - restarts(packets + got)[0] >= 20
        ),
    )
    assert device.status()["reboots"] == 1
    assert len(restarts(packets)) == 1  # one new device clock, no reordering
    resumed = restarts(packets)[0]
    # the new clock starts when telemetry resumes, after the pause
    assert REBOOT_SECONDS - 1e-3 <= packets[resumed].timestamp_seconds < REBOOT_SECONDS + 2.0
    assert timestamp_steps(packets[resumed:]) == pytest.approx([1 / RATE] * (len(packets) - resumed - 1))
    # no answer came, and the device takes commands again
    assert client.get_device_info().id == DEVICE_ID
    assert "4" not in device.status()["responses_by_id"]


def test_cancel_ends_mock_mode(device, client, tmp_path):
    log = MockLog().add_series(50, 0.001).end()
    log.write(tmp_path / "short.log")
    client.start_mock_log_stream(str(tmp_path / "short.log"), realtime=False, cancel_on_finish=False)
    wait_for(lambda: not client.is_mock_log_streaming())
    assert client.stop_mock_log_stream(cancel_device=False) == 50
    device.wait_status(lambda s: s["mock_records"] == 50)
    assert device.status()["mock_mode"]  # nothing has ended it yet
    assert client.cancel() is True
    s = device.status()
    assert not s["mock_mode"] and s["commands_by_id"]["255"] == 1
    assert client.cancel() is True  # acknowledged outside mock mode too


# --------------------------------------------------------------- telemetry


def test_telemetry_at_the_link_rate_arrives_complete_and_in_order(device, client):
    device.set_rate(0)
    collect(client, seconds=0.3)
    device.reset_counters(discard_output=True)
    client.get_data_packets()
    seconds = 3.0
    device.set_rate(LINK_RATE)
    started = device.status()["time"]
    packets = collect(client, seconds=seconds)
    elapsed = device.status()["time"] - started
    s = drain(device, client, packets)
    client.ensure_ok()
    steps = timestamp_steps(packets)
    print(
        f"\nlink rate: device sent {s['telemetry_sent']} frames in {elapsed:.2f} s "
        f"({s['telemetry_sent'] / elapsed:.0f}/s), client received {len(packets)}, "
        f"dropped by the device {s['telemetry_dropped']}"
    )
    assert s["telemetry_dropped"] == 0
    assert len(packets) == s["telemetry_sent"]
    assert s["telemetry_sent"] >= 0.8 * LINK_RATE * seconds
    # the device stamps frame k with k / rate: any loss, repeat or swap shows
    assert min(steps) == pytest.approx(1 / LINK_RATE, rel=1e-6)
    assert max(steps) == pytest.approx(1 / LINK_RATE, rel=1e-6)


def test_line_faults_cost_no_intact_frame(device, client):
    rate, false_header_max = 2000, 256
    device.set_rate(0)
    collect(client, seconds=0.3)
    device.set_noise(0.3, max_len=24)
    device.set_corrupt_rate(0.05)
    device.set_false_header(0.01, max_len=false_header_max)
    device.reset_counters(discard_output=True)
    client.get_data_packets()
    device.set_rate(rate)
    packets = collect(client, seconds=2.0)
    # frames behind a false header near the end come out once the line is quiet
    s = drain(device, client, packets)
    client.ensure_ok()
    steps = timestamp_steps(packets)
    missing = sum(round(step * rate) - 1 for step in steps)
    print(
        f"\nfaults: {s['noise_bytes']} noise bytes, {s['false_headers']} false headers, "
        f"{s['telemetry_corrupted']} corrupted of "
        f"{s['telemetry_sent'] + s['telemetry_corrupted']} frames; "
        f"client received {len(packets)} = intact {s['telemetry_sent']}"
    )
    assert s["noise_bytes"] > 1000 and s["telemetry_corrupted"] > 50 and s["false_headers"] > 10
    assert s["telemetry_dropped"] == 0
    assert len(packets) == s["telemetry_sent"]
    assert min(steps) > 0
    # the only holes in the device clock are the corrupted frames; one that came
    # first or last in the window leaves no hole between received packets
    assert s["telemetry_corrupted"] - 2 <= missing <= s["telemetry_corrupted"]


# ------------------------------------------------------------------ replay


def test_replayed_log_reaches_the_device_complete_in_order_and_paced(device, client, tmp_path):
    interval, speed, unpaced, batch, batches = 0.010, 2.0, 75, 10, 20
    log = MockLog()
    log.add_series(40, interval, kinds="AM")
    log.pad(7)  # padding between records is not a record
    log.add_series(
        unpaced + batch * batches - 40,
        interval,
        kinds="IBAM",
        start_ticks=round(40 * interval * TICKS_PER_SECOND),
    )
    log.end()
    log.add("A", 1)  # after the end marker: never replayed
    path = log.write(tmp_path / "flight.log")
    device.set_rate(0)  # an idle link, so what is measured is the replay's own pacing
    client.start_mock_log_stream(str(path), speed=speed)
    wait_for(lambda: not client.is_mock_log_streaming())
    count = len(log.records)
    assert client.stop_mock_log_stream(cancel_device=False) == count == unpaced + batch * batches

    s = device.wait_status(lambda s: not s["mock_mode"])  # the stream's own cancel ended it
    records = device.mock_records()
    assert [(r[0], r[1]) for r in records] == [(k, ts) for k, ts, _ in log.records]
    assert s["mock_header_frames"] == 1 and s["mock_bad_length"] == s["mock_unknown"] == 0
    assert s["mock_outside"] == 0
    assert s["mock_digest"] == log.stream_digest()

    arrival = [r[2] for r in records]
    settle = arrival[0] - s["mock_first_arrival"]
    burst = arrival[unpaced - 1] - arrival[0]
    starts = [arrival[unpaced + batch * k] for k in range(batches)]
    spreads = [arrival[unpaced + batch * k + batch - 1] - starts[k] for k in range(batches)]
    period = batch * interval / speed
    gaps = [b - a for a, b in zip(starts, starts[1:])]
    span = starts[-1] - starts[0]
    print(
        f"\nreplay: header to first record {settle * 1e3:.1f} ms (settle 100 ms); "
        f"first {unpaced} records in {burst * 1e3:.1f} ms "
        f"(logged {(unpaced - 1) * interval / speed * 1e3:.0f} ms at speed {speed}); "
        f"batch period median {statistics.median(gaps) * 1e3:.1f} ms, "
        f"min {min(gaps) * 1e3:.1f}, max {max(gaps) * 1e3:.1f} (ideal {period * 1e3:.0f}); "
        f"{batches} batches span {span:.3f} s (ideal {(batches - 1) * period:.3f}); "
        f"spread within a batch median {statistics.median(spreads) * 1e3:.2f} ms, "
        f"max {max(spreads) * 1e3:.2f}"
    )
    # the device stamps arrivals: a header it read late shortens what it sees
    assert settle >= 0.05
    assert burst < 0.4 * (unpaced - 1) * interval / speed  # back to back, not at the log's pace
    # paced by the log's clock at twice its pace: overshooting sleeps are caught up
    # on, so the span holds under load; how close each batch comes is
    # bench/replay_pacing.py's to measure
    assert 0.8 * (batches - 1) * period <= span <= 1.5 * (batches - 1) * period


def test_a_huge_unpaced_replay_leaves_the_link_to_telemetry_answers_and_stop(device, client, tmp_path):
    records = 200_000
    log = write_mock_log(tmp_path / "huge.log", records, 0.001)
    client.start_mock_log_stream(str(tmp_path / "huge.log"), realtime=False)
    wait_for(lambda: client.mock_frames_waiting() > 0)
    info = client.get_device_info(5.0)  # answered while the replay is on the link
    assert info is not None and info.id == DEVICE_ID
    packets = collect(
        client,
        until=lambda _: not client.is_mock_log_streaming() and client.mock_frames_waiting() == 0,
        timeout=120,
    )
    assert client.stop_mock_log_stream(cancel_device=False) == records
    s = drain(device, client, packets)
    device.wait_status(lambda s: s["mock_records"] == records)
    assert device.status()["mock_digest"] == log.stream_digest()
    # every telemetry frame the device sent meanwhile arrived, in order
    assert s["telemetry_dropped"] == 0 and len(packets) == s["telemetry_sent"]
    assert timestamp_steps(packets) and min(timestamp_steps(packets)) > 0

    # a stop in the middle of the replay does not wait for it
    client.start_mock_log_stream(str(tmp_path / "huge.log"), realtime=False)
    wait_for(lambda: client.mock_frames_waiting() > 10_000)
    began = time.monotonic()
    client.stop()
    assert time.monotonic() - began < 1.0
    client.start()
    assert client.cancel() is True  # the device leaves mock mode for the tests after this


# ------------------------------------------------------------- calibration


def test_magnetometer_calibration_run_recovers_the_hard_iron(device, client):
    device.set_rate(500)
    client.get_data_packets()
    assert client.run_and_apply_magnetometer_calibration(2.0) is True
    raw = client.get_data_packets()  # mostly the collection window, under neutral calibration
    s = device.status()
    applied, hard_iron = s["mag_calibration"]["offsets"], s["hard_iron"]
    error = max(abs(a - b) for a, b in zip(applied, hard_iron))
    calibrated = collect(client, seconds=1.0)
    before = relative_spread(field_magnitudes(raw))
    after = relative_spread(field_magnitudes(calibrated))
    print(
        f"\ncalibration: offsets {[round(v, 3) for v in applied]} vs hard iron {hard_iron}, "
        f"largest error {error:.3f} uT; |B| spread about the median {before:.1%} before "
        f"({len(raw)} samples), {after:.2%} after ({len(calibrated)} samples)"
    )
    assert error < 0.5
    assert before > 0.05  # the uncalibrated field is far from a sphere
    assert after < 0.01
    client.set_magnetometer_calibration(*NEUTRAL)


# ----------------------------------------------------------------- unplug


def test_unplugging_mid_stream_gives_the_documented_error_sequence(start_client):
    with Simulator.spawn(rate=1000) as unplugged:
        client = start_client(unplugged.port_name)
        assert collect(client, until=lambda got: len(got) >= 100)
        unplugged.hang_up()
        wait_for(lambda: not client.is_running())
        with pytest.raises(OSError, match=HANG_UP):
            client.ensure_ok()
        assert client.ensure_ok() is None  # reported once
        for call in (
            client.get_device_info,
            client.get_device_config,
            client.cancel,
            client.reboot,
            lambda: client.set_magnetometer_calibration(*NEUTRAL),
        ):
            with pytest.raises(OSError, match=COMMAND_CHANNEL_CLOSED):
                call()
        assert not client.is_running()
