"""Several devices on one timeline: a rig of simulated devices recorded by
one ``vyre stream``, read back per device in every format, and aligned by
the motion they shared, against the simulator's truth."""

import signal
import time

import pytest

from vyre_tools import recording
from vyre_tools.cli.errors import CliError
from vyre_tools.cli.plot import read_recording
from vyre_tools.procedures.alignment import AlignmentError, align, align_recording
from vyre_tools.sim import Simulator
from vyre_tools.sim.rig import read_truth, sample_rows, true_times

from .cli_support import client_ready, run_vyre, start_vyre  # noqa: F401

TURNED = (0.0, -1.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0)  # 90 degrees about z
ON_ITS_SIDE = (1.0, 0.0, 0.0, 0.0, 0.0, -1.0, 0.0, 1.0, 0.0)


def rig_rows(offsets, rate=500.0, seconds=4.0, mounts=None, **motion):
    """Rows of devices on one rig sampling at their own instants, each
    device's synced time ``offsets[i]`` s late."""
    import numpy as np

    rng = np.random.default_rng(3)
    out = []
    for i, offset in enumerate(offsets):
        times = np.arange(0.0, seconds, 1 / rate) + rng.uniform(0, 1 / rate)
        options = dict(motion="still", seed=i + 1, **motion)
        if mounts and mounts[i]:
            options["mount"] = mounts[i]
        out.append(sample_rows(options, times, times + 1.8e9 + offset))
    return out


@pytest.mark.parametrize(
    "motion",
    [dict(shake_seconds=2.0, shake_at=1.0), dict(shake_seconds=2.0, shake_at=1.0, shake_style="taps")],
    ids=["shake", "taps"],
)
def test_offsets_come_back_to_a_fraction_of_a_sample_however_each_device_is_mounted(motion):
    offsets = [0.0, 0.0023, -0.0011]
    result = align(rig_rows(offsets, mounts=[None, TURNED, ON_ITS_SIDE], **motion))
    assert result.complete
    for d in result.devices[1:]:
        error = d.offset_seconds - offsets[d.device]
        # 2 ms between samples; the figures over many seeds are in bench/
        assert abs(error) < max(4 * d.uncertainty_seconds, 20e-6), (d, error)
        assert d.quality > 0.95 and 0 <= d.uncertainty_seconds < 100e-6


def periodic_rows(offset):
    """A rotation rate swinging at 5 Hz: every 0.1 s looks the same."""
    import numpy as np

    from vyre_tools.recording import packet_dtype

    t = np.arange(0.0, 4.0, 0.002)
    rows = np.zeros(len(t), packet_dtype())
    rows["raw_angular_rate_x_deg_per_s"] = 200 * np.sin(2 * np.pi * 5 * t)
    rows["raw_acceleration_z_gs"] = 1.0
    rows["synced_time_seconds"] = t + offset
    return rows


def test_a_device_is_refused_with_the_reason_when_its_motion_cannot_tell_the_time():
    import numpy as np

    shaken = rig_rows([0.0, 0.001], shake_seconds=2.0, shake_at=1.0)
    other = rig_rows([0.0], shake_seconds=2.0, shake_at=1.0, shake_seed=99)[0]
    result = align([*shaken, other])
    assert [d.aligned for d in result.devices] == [True, True, False]
    assert "does not match the reference" in result.devices[2].refusal
    assert np.isnan(result.devices[2].offset_seconds)
    result = align([periodic_rows(0.0), periodic_rows(0.003)])
    assert result.devices[1].refusal.startswith("ambiguous")

    with pytest.raises(AlignmentError, match="too weak"):
        align(rig_rows([0.0, 0.001]))  # at rest: nothing to line up
    with pytest.raises(AlignmentError, match="no device 1 among 1"):
        align([periodic_rows(0.0)], reference=1)


def test_a_recording_of_one_device_or_one_that_cannot_be_aligned_is_refused(tmp_path):
    import numpy as np

    one = tmp_path / "one.npz"
    with recording.open_writer(one, recording.packet_dtype()) as w:
        w.write(rig_rows([0.0], shake_seconds=2.0)[0])
    still = tmp_path / "still.npz"
    with recording.open_writer(still, recording.devices_dtype()) as w:
        for i, rows in enumerate(rig_rows([0.0, 0.002], shake_seconds=2.0)):
            w.write(recording.tagged(i, rows if i == 0 else periodic_rows(1.8e9)))
    with pytest.raises(AlignmentError, match="holds one device"):
        align_recording(str(one))
    # each device of a recording plots on its own
    assert np.array_equal(
        read_recording(str(still), 1)["timestamp_seconds"], periodic_rows(0.0)["timestamp_seconds"]
    )
    with pytest.raises(CliError, match="holds 1 device: no device 1"):
        read_recording(str(one), 1)
    alignment, written = align_recording(str(still))
    assert written is None and not alignment.complete
    assert "does not match" in alignment.devices[1].refusal
    assert not (tmp_path / "still-aligned.npz").exists()


def wait_for(condition, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.2)


@pytest.mark.usefixtures("client_ready")
def test_a_rig_recorded_in_one_file_reads_back_per_device_in_every_format_and_aligns_to_the_truth(
    tmp_path,
):
    import numpy as np

    rig = dict(rate=500, motion="still", rig_origin=time.monotonic())
    path = tmp_path / "rig.csv"  # the one format readable while it is written
    truths = [tmp_path / "truth0.bin", tmp_path / "truth1.bin"]
    with (
        # processes of their own: reading the growing file here must not hold them up
        Simulator.spawn(
            seed=1, link_delay=0.003, clock_offset=50, clock_drift_ppm=90, truth_log=truths[0], **rig
        ) as a,
        Simulator.spawn(
            seed=2,
            burst_max=4,
            clock_offset=900,
            clock_drift_ppm=-70,
            mount=TURNED,
            truth_log=truths[1],
            **rig,
        ) as b,
    ):
        proc = start_vyre("stream", "-p", a.port_name, "-p", b.port_name, "--record", path)

        def synced_until():
            try:
                parts = recording.read_devices(path)
            except recording.RecordingError:
                return 0.0
            times = [r["synced_time_seconds"] for _, r in parts]
            if len(times) < 2 or not all(np.isfinite(t).any() for t in times):
                return 0.0
            return min(float(np.nanmax(t)) for t in times)

        wait_for(lambda: synced_until() > 0)
        at = time.monotonic() + 0.2
        for sim in (a, b):
            sim.shake(at, 1.0)
        # on time.time()'s clock: the shake's end and half a second more
        wait_for(lambda: synced_until() > time.time() + (at - time.monotonic()) + 1.5)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    assert proc.returncode == 128 + signal.SIGINT, err
    assert f"of 2 devices to {path}" in out
    assert out.count(a.port_name) >= 2 and out.count(b.port_name) >= 2  # the live table and the summary

    meta = recording.read_metadata(path)
    assert [d["port"] for d in meta["devices"]] == [a.port_name, b.port_name]
    assert all(d["configuration"]["frequency_hz"] == 500 and d["device_id"] for d in meta["devices"])
    parts = recording.read_devices(path)
    for other in ("rig.parquet", "rig.npz", "rig.mcap"):
        recording.convert(path, tmp_path / other)
        again = recording.read_devices(tmp_path / other)
        assert [m for m, _ in again] == [m for m, _ in parts]
        for (_, want), (_, got) in zip(parts, again):
            assert got.dtype == recording.packet_dtype() and len(got) > 500
            for name in want.dtype.names:
                assert np.array_equal(got[name], want[name], equal_nan=True), name

    proc = run_vyre("align", tmp_path / "rig.mcap")
    assert proc.returncode == 0, proc.stderr
    assert "device 0 (" + a.port_name + "): the reference" in proc.stdout
    assert f"wrote {tmp_path / 'rig-aligned.mcap'}" in proc.stdout
    aligned = recording.read_devices(tmp_path / "rig-aligned.mcap")
    found = aligned[0][0]["alignment"]
    start, end = found["window_seconds"]
    found = found["devices"][1]
    # the truth: how much later each device's synced time reads than the true
    # instant while they were shaken (a loaded host moves it later on)
    late = []
    for (_, rows), truth in zip(parts, truths):
        error = rows["synced_time_seconds"] - true_times(rows["timestamp_seconds"], read_truth(truth))
        during = (rows["synced_time_seconds"] >= start) & (rows["synced_time_seconds"] <= end)
        late.append(np.nanmedian(error[during]))
    assert late[0] - late[1] > 0.002  # the first link's 3 ms, less the second's
    assert abs(found["offset_seconds"] - (late[1] - late[0])) < max(4 * found["uncertainty_seconds"], 100e-6)
    # the copy: the second device moved onto the first's timeline, nothing else changed
    for (_, before), (_, after), offset in zip(parts, aligned, (0.0, found["offset_seconds"])):
        assert np.allclose(
            after["synced_time_seconds"], before["synced_time_seconds"] - offset, equal_nan=True
        )
        assert np.array_equal(after["timestamp_seconds"], before["timestamp_seconds"])
