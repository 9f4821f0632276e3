"""ROS 2 messages in MCAP recordings, read by the MCAP ROS 2 reader: every
message decodes, carries the row's values in SI units and the sample's
time, and the sensor frame's orientation agrees with the library's own
rotation of the acceleration."""

import pytest

from vyre_tools import recording

from .cli_support import client_ready, run_vyre  # noqa: F401

pytestmark = pytest.mark.usefixtures("client_ready")
pytest.importorskip("mcap_ros2")

G = 9.80665


def decoded(path):
    """Each topic's decoded messages with their log and publish times, in the file's order."""
    from mcap.reader import make_reader
    from mcap_ros2.decoder import DecoderFactory

    topics = {}
    with open(path, "rb") as f:
        reader = make_reader(f, decoder_factories=[DecoderFactory()])
        assert reader.get_header().profile == "ros2"
        for schema, channel, message, msg in reader.iter_decoded_messages(log_time_order=False):
            assert channel.message_encoding == "cdr" and schema.encoding == "ros2msg"
            topics.setdefault(channel.topic, []).append((msg, message.log_time, message.publish_time))
    return topics


def rotate(q, v):
    """v rotated by the unit quaternion q = (w, x, y, z), row by row."""
    import numpy as np

    w, u = q[:, :1], q[:, 1:]
    t = 2 * np.cross(u, v)
    return v + w * t + np.cross(u, t)


def test_a_ros2_recording_decodes_message_for_message(tmp_path):
    import numpy as np

    path = tmp_path / "run.mcap"
    proc = run_vyre(
        "stream", "--sim", "--sim-option", "rate=500", "--duration", "1.2",
        "--record", path, "--mcap-profile", "ros2", "--frame-id", "imu_link",
    )  # fmt: skip
    assert proc.returncode == 0, proc.stderr
    rows = recording.read(path)  # the whole row comes back through the Telemetry topic
    copy = tmp_path / "run.npz"
    assert run_vyre("convert", path, copy).returncode == 0
    back = recording.read(copy)
    assert back.dtype == rows.dtype
    assert all(np.array_equal(back[name], rows[name], equal_nan=True) for name in rows.dtype.names)

    topics = decoded(path)
    n = len(rows)
    assert n > 300 and {k: len(v) for k, v in topics.items()} == dict.fromkeys(
        ["/vyre/imu", "/vyre/magnetic_field", "/vyre/fluid_pressure", "/vyre/temperature", "/vyre/telemetry"],
        n,
    )
    synced = rows["synced_time_seconds"]
    when = np.where(np.isfinite(synced), synced, rows["host_time_seconds"])
    assert np.isfinite(synced).mean() > 0.5
    for msgs in topics.values():
        stamps = np.array([m.header.stamp.sec * 10**9 + m.header.stamp.nanosec for m, _, _ in msgs])
        assert np.abs(stamps - np.rint(when * 1e9)).max() <= 1
        assert [log for _, log, _ in msgs] == stamps.tolist()
        assert np.abs(np.array([p for _, _, p in msgs]) - rows["host_time_seconds"] * 1e9).max() < 1e3
        assert {m.header.frame_id for m, _, _ in msgs} == {"imu_link"}

    imu = [m for m, _, _ in topics["/vyre/imu"]]
    vec = lambda v: [v.x, v.y, v.z]
    accel = np.array([vec(m.linear_acceleration) for m in imu])
    gyro = np.array([vec(m.angular_velocity) for m in imu])
    field = np.array([vec(m.magnetic_field) for m, _, _ in topics["/vyre/magnetic_field"]])
    raw = lambda *names: np.stack([rows[n].astype(float) for n in names], axis=1)
    axes = [f"_{a}_" for a in "xyz"]
    assert np.allclose(accel, G * raw(*(f"raw_acceleration{a}gs" for a in axes)))
    assert np.allclose(gyro, np.radians(raw(*(f"raw_angular_rate{a}deg_per_s" for a in axes))))
    assert np.allclose(field, 1e-6 * raw(*(f"magnetic_field{a}microteslas" for a in axes)))
    pressure = [m.fluid_pressure for m, _, _ in topics["/vyre/fluid_pressure"]]
    temperature = [m.temperature for m, _, _ in topics["/vyre/temperature"]]
    assert pressure == rows["pressure_pascals"].astype(float).tolist()
    assert temperature == rows["temperature_celsius"].astype(float).tolist()

    # the sensor frame's orientation carries the reading into the reference
    # frame exactly as the library's own rotated acceleration does
    q = np.array([[m.orientation.w, m.orientation.x, m.orientation.y, m.orientation.z] for m in imu])
    assert np.allclose(np.linalg.norm(q, axis=1), 1)
    rotated = raw(*(f"raw_rotated_acceleration{a}gs" for a in axes))
    assert np.allclose(rotate(q, accel / G), rotated, atol=1e-5)
    # no noise profile for the simulated device: every covariance unknown
    for m in imu:
        for name in ("orientation", "angular_velocity", "linear_acceleration"):
            assert list(getattr(m, f"{name}_covariance")) == [0.0] * 9


@pytest.mark.parametrize(
    "args, fragment",
    [
        (["stream", "--sim", "--duration", "1", "--frame-id", "x"], "add --record"),
        (["convert", "in.csv", "out.csv", "--mcap-profile", "ros2"], "for .mcap recordings"),
        (["convert", "in.csv", "out.mcap", "--frame-id", "x"], "add --mcap-profile ros2"),
    ],
)
def test_ros2_options_where_they_do_not_apply_are_usage_errors(args, fragment, capsys):
    from vyre_tools.cli import main

    assert main(args) == 2  # refused before anything is opened
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and fragment in err[0]


def test_an_unknown_orientation_is_marked_so(tmp_path):
    import numpy as np

    rows = np.zeros(3, recording.packet_dtype())
    rows["host_time_seconds"] = 1.7e9 + np.arange(3)
    rows["synced_time_seconds"] = np.nan
    rows["est_quaternion_w"] = [1.0, np.nan, 0.0]
    path = tmp_path / "q.mcap"
    with recording.open_writer(path, rows.dtype, mcap_profile="ros2") as writer:
        writer.write(rows)
    imu = [m for m, _, _ in decoded(path)["/vyre/imu"]]
    assert [m.orientation_covariance[0] for m in imu] == [0.0, -1.0, -1.0]
    # a level body: the sensor frame is turned 45 degrees about Z from it
    o = imu[0].orientation
    assert np.allclose([o.w, o.x, o.y, o.z], [np.cos(np.pi / 8), 0, 0, np.sin(np.pi / 8)])
    assert imu[0].header.frame_id == "vyre_imu"
    assert np.isnan(recording.read(path)["est_quaternion_w"][1])


def test_covariances_come_from_the_device_noise_profile(tmp_path, monkeypatch):
    import numpy as np

    profiles = pytest.importorskip("vyre_tools.procedures.noise_profile")
    monkeypatch.setenv(profiles.FOLDER_ENV, str(tmp_path))
    noise = {  # white-noise densities per √Hz, in the columns' units; the others unprofiled
        "raw_angular_rate_x_deg_per_s": ("deg/s", 0.01),
        "raw_acceleration_z_gs": ("g", 1e-4),
        "pressure_pascals": ("Pa", 0.5),
    }
    channels = {name: profiles.ChannelNoise(unit, n, 0.0, 0.0) for name, (unit, n) in noise.items()}
    profiles.save(
        profiles.NoiseProfile("0x5659524500010042", "2026-12-08T12:00:00+00:00", "t", 0.01, channels)
    )
    rows = np.zeros(2, recording.packet_dtype())
    rows["host_time_seconds"] = 1.7e9
    meta = {"device_id": "0x5659524500010042", "configuration": {"frequency_hz": 200}}
    path = tmp_path / "c.mcap"
    with recording.open_writer(path, rows.dtype, meta, mcap_profile="ros2") as writer:
        writer.write(rows)
    topics = decoded(path)
    imu = topics["/vyre/imu"][0][0]
    assert imu.angular_velocity_covariance[0] == pytest.approx(0.01**2 * 200 * (np.pi / 180) ** 2)
    assert imu.linear_acceleration_covariance[8] == pytest.approx(1e-4**2 * 200 * G**2)
    assert list(imu.angular_velocity_covariance[1:]) == [0.0] * 8  # no figure for y and z: unknown
    assert topics["/vyre/fluid_pressure"][0][0].variance == pytest.approx(0.25 * 200)
    assert topics["/vyre/temperature"][0][0].variance == 0.0
