"""The device's clock on the host's: synced_time_seconds and clock_sync(), from
a pseudo-terminal device whose clock the test keeps (the host time at which it
writes a frame is the sample's true time)."""

import math
import time

import numpy as np
import pytest

import wire
from harness import eventually

# generous: a loaded machine may hold the reader back for milliseconds now
# and then, and the model still has to stamp within them
BOUND = 5e-3


def frame(timestamp):
    return wire.telemetry([float(timestamp)] + [0.0] * 4 + [1.0] + [0.0] * 8 + [1.0, 0.0, 0.0, 0.0])


class KnownClock:
    """Sends telemetry from a device clock `offset + (1 + drift) * (host - start)`,
    in bursts of 1 to 4 frames written when the burst's last sample is due;
    remembers each timestamp's true host time."""

    def __init__(self, device, offset=500.0, drift_ppm=1000.0, period=0.004):
        self.device, self.offset, self.gain, self.period = device, offset, 1 + drift_ppm * 1e-6, period
        self.start = time.time()
        self.truth = {}
        self.k = 0

    def run(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            burst = 1 + self.k % 4
            time.sleep(self.period * burst)
            now = time.time()
            stamps = [
                self.offset + self.gain * (now - self.start - self.period * (burst - 1 - i))
                for i in range(burst)
            ]
            self.device.write(b"".join(frame(t) for t in stamps))
            for i, t in enumerate(stamps):
                self.truth[t] = now - self.period * (burst - 1 - i)
            self.k += 1

    def restart(self, offset):
        """The device reboots: its clock starts over from `offset`."""
        self.offset, self.start = offset, time.time()


def rows_of(client, count):
    parts = []
    assert eventually(lambda: parts.append(client.get_data_array()) or sum(map(len, parts)) >= count)
    return np.concatenate(parts)


def errors(rows, truth):
    stamped = rows[~np.isnan(rows["synced_time_seconds"])]
    true = np.array([truth[t] for t in stamped["timestamp_seconds"]])
    return stamped["synced_time_seconds"] - true


def test_stamps_follow_the_device_clock_and_survive_stop_and_start(pty_device, client):
    assert client.clock_sync() == {
        "synced": False,
        "offset_seconds": pytest.approx(math.nan, nan_ok=True),
        "drift_ppm": pytest.approx(math.nan, nan_ok=True),
        "pairs": 0,
        "resets": 0,
        "jitter_seconds": pytest.approx(math.nan, nan_ok=True),
        "drift_uncertainty_ppm": pytest.approx(math.nan, nan_ok=True),
    }
    device = KnownClock(pty_device)
    device.run(1.5)
    rows = rows_of(client, len(device.truth))
    synced = rows["synced_time_seconds"]
    stamped = ~np.isnan(synced)
    # NaN first, then stamped for good, never a guess in between
    assert not stamped[0] and stamped[-1]
    assert stamped[np.argmax(stamped) :].all()
    assert np.abs(errors(rows, device.truth)).max() < BOUND
    sync = client.clock_sync()
    assert sync["synced"] and sync["resets"] == 0 and sync["pairs"] > 0
    assert sync["drift_ppm"] == pytest.approx(1000, abs=800)
    assert abs(sync["drift_ppm"] - 1000) <= 5 * sync["drift_uncertainty_ppm"]
    assert 0 <= sync["jitter_seconds"] < 0.25  # a busy host may hold a whole window back
    # host time at device time 0: the device read 500 at device.start
    rate = 1 / (1 + sync["drift_ppm"] * 1e-6)
    assert sync["offset_seconds"] + 500 * rate == pytest.approx(device.start, abs=BOUND)

    client.stop()
    assert client.clock_sync()["synced"]
    client.start()
    device.run(0.3)
    more = rows_of(client, len(device.truth) - len(rows))
    assert not np.isnan(more["synced_time_seconds"]).any()  # the model went on
    assert np.abs(errors(more, device.truth)).max() < BOUND
    assert client.clock_sync()["resets"] == 0


@pytest.mark.parametrize("restart_at", [0.0, 10_000.0], ids=["backwards", "ahead"])
def test_a_jump_of_the_device_clock_starts_a_new_model(pty_device, client, restart_at):
    device = KnownClock(pty_device)
    device.run(1.0)
    before = rows_of(client, len(device.truth))
    assert client.clock_sync()["synced"]
    device.restart(restart_at)
    device.run(1.0)
    after = rows_of(client, len(device.truth) - len(before))
    sync = client.clock_sync()
    assert sync["resets"] == 1 and sync["synced"]
    assert math.isnan(after["synced_time_seconds"][0])
    # nothing after the jump stamped from the old model: every stamp is right
    assert np.abs(errors(after, device.truth)).max() < BOUND
    assert not np.isnan(after["synced_time_seconds"][-1])


def test_the_simulator_truth_log_and_a_reboot(tmp_path):
    from vyre_client import VYREClient
    from vyre_tools.sim import Simulator

    truth_path = tmp_path / "truth.bin"
    with Simulator.spawn(
        rate=200,
        clock_offset=30.0,
        clock_drift_ppm=-1000,
        burst_max=10,
        late_rate=0.05,
        truth_log=str(truth_path),
    ) as sim:
        with VYREClient(sim.port_name) as client:
            assert eventually(lambda: client.clock_sync()["synced"])
            client.get_data_array()
            time.sleep(2.0)
            rows = client.get_data_array()
            sync = client.clock_sync()
            client.reboot()
            assert eventually(lambda: client.clock_sync()["resets"] == 1 and client.clock_sync()["synced"])
    truth = np.fromfile(truth_path, dtype="<f8").reshape(-1, 2)
    reboot = int(np.argmax(np.diff(truth[:, 0]) < 0)) + 1  # the clock starts over: timestamps again
    true = dict(zip(truth[:reboot, 0].tolist(), truth[:reboot, 1].tolist()))
    err = errors(rows, true)
    assert len(rows) > 100 and len(err) > 0.9 * len(rows)  # a host held back 0.25 s leaves some NaN
    assert np.abs(err).max() < BOUND
    # bursts and late frames put the receive times milliseconds behind
    raw = rows["host_time_seconds"] - np.array([true[t] for t in rows["timestamp_seconds"]])
    assert np.percentile(raw, 99) > np.percentile(np.abs(err), 99)
    assert sync["drift_ppm"] == pytest.approx(-1000, abs=600)
