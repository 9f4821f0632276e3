"""Noise figures: the Allan deviation against an independent library, the
figures against the simulated device's known noise, live and from every
recording format, and the refusal of data that moved."""

import json
import math

import pytest

from vyre_tools import recording
from vyre_tools.procedures import noise, noise_profile
from vyre_tools.procedures.allan import allan_deviation
from vyre_tools.sim.motion import SensorModel
from vyre_tools.sim.options import resolve

from .cli_support import assert_one_line_error, client_ready, run_vyre  # noqa: F401

pytestmark = pytest.mark.usefixtures("client_ready")

# the 18 values of a telemetry sample, in the order the model gives them
SAMPLE_FIELDS = (
    "timestamp_seconds",
    "temperature_celsius",
    "pressure_pascals",
    *noise.ACCELERATION.columns,
    *noise.ANGULAR_RATE.columns,
    *noise.SENSORS[2].columns,
    "est_position_z_meters",
    "est_velocity_z_meters_per_s",
    "est_quaternion_w",
    "est_quaternion_x",
    "est_quaternion_y",
    "est_quaternion_z",
)


def model_rows(count, rate, skip=(), **options):
    """``count`` samples of the simulator's model at ``rate``, as recording
    rows; the sample indices in ``skip`` are left out (a gap)."""
    import numpy as np

    model = SensorModel(resolve(dict(rate=rate, **options)))
    samples = [model.sample(k / rate, 10.0 + k / rate) for k in range(count)]
    kept = [s for k, s in enumerate(samples) if k not in skip]
    rows = np.zeros(len(kept), recording.packet_dtype())
    for i, name in enumerate(SAMPLE_FIELDS):
        rows[name] = [s[i] for s in kept]
    return rows


def test_the_curve_equals_an_independent_library_and_no_average_spans_a_gap():
    import allantools
    import numpy as np

    rng = np.random.default_rng(4)
    y = 9.8 + rng.standard_normal(5000) * 0.01 + np.cumsum(rng.standard_normal(5000)) * 1e-4
    ours = allan_deviation([y], 0.01)
    taus, theirs, _, counts = allantools.oadev(y, rate=100.0, data_type="freq", taus=ours.taus)
    assert np.allclose(taus, ours.taus) and (counts == ours.terms).all()
    assert np.max(np.abs(theirs / ours.deviation - 1)) < 1e-9
    # white noise in two runs with a jump of the level between them: split
    # at the gap the curve is that of the noise alone
    white = rng.standard_normal(4000) * 0.01
    split = allan_deviation([white[:2000], white[2000:] + 5.0], 0.01, ours.factors[:12])
    whole = allan_deviation([white], 0.01, ours.factors[:12])
    assert np.allclose(split.deviation, whole.deviation, rtol=0.15)


@pytest.fixture(scope="module")
def still_rows():
    """40 s of a still device at 100 Hz with known gyroscope noise, 30 samples
    lost in the middle."""
    return model_rows(
        4000, 100.0, skip=range(2000, 2030), motion="still", gyro_noise_density=0.01, gyro_random_walk=0.01
    )


@pytest.mark.parametrize("suffix", list(recording.FORMATS))
def test_every_format_gives_the_simulated_figures(still_rows, suffix, tmp_path):
    path = tmp_path / f"still{suffix}"
    with recording.open_writer(path, still_rows.dtype, {"device_id": "0x5659524500010042"}) as w:
        w.write(still_rows)
    report = noise.characterise_recording(path)
    assert report.device_id == "0x5659524500010042"
    assert len(report.sampling.segments) == 2 and "1 gap" in report.notes()[0]
    assert report.sampling.interval == pytest.approx(0.01)
    for c in report.channels:
        truth = {"angular rate": 0.01, "acceleration": 0.002 * 0.1, "pressure": 1.0 * 0.1}.get(c.sensor.name)
        if truth is not None:
            assert c.figures.white.value == pytest.approx(truth, rel=0.08), c.column
    gyro = [c.figures.walk for c in report.channels if c.sensor is noise.ANGULAR_RATE]
    assert all(not w.upper_bound and w.value == pytest.approx(0.01, rel=0.5) for w in gyro), gyro
    # the file gives the figures of the rows themselves
    held = noise.characterise(lambda names: {n: still_rows[n] for n in names}, "rows")
    assert report.as_json()["channels"] == held.as_json()["channels"]


def test_data_that_moved_is_refused(tmp_path):
    path = tmp_path / "tumbling.npz"
    rows = model_rows(600, 100.0)  # the simulator's default tumble
    with recording.open_writer(path, rows.dtype) as w:
        w.write(rows)
    proc = run_vyre("noise", path)
    assert_one_line_error(proc, 1, "refused: the angular rate on", "the device turned")


def test_a_live_capture_gives_the_simulated_figures_and_saves_a_profile(tmp_path):
    yaml_path = tmp_path / "imu.yaml"
    proc = run_vyre(
        "noise",
        "--sim",
        "-d",
        "2",
        "--sim-option",
        "rate=500",
        "--sim-option",
        "gyro_noise_density=0.02",
        "--json",
        "-",
        "--yaml",
        yaml_path,
        "--save",
        VYRE_NOISE_PROFILES=str(tmp_path / "profiles"),
    )
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout)
    assert report["sample_interval_s"] == pytest.approx(0.002)
    channels = report["channels"]
    for axis in "xyz":
        gyro = channels[f"raw_angular_rate_{axis}_deg_per_s"]["white_noise_density"]
        assert gyro["value"] == pytest.approx(0.02, rel=0.1)
        assert gyro["low"] < gyro["value"] < gyro["high"]
        accel = channels[f"raw_acceleration_{axis}_gs"]["white_noise_density"]
        assert accel["value"] == pytest.approx(0.002 / math.sqrt(500), rel=0.1)  # the plain default
    yaml = dict(
        line.split("#")[0].split(":", 1) for line in yaml_path.read_text().splitlines() if ":" in line
    )
    assert float(yaml["gyroscope_noise_density"]) == pytest.approx(math.radians(0.02), rel=0.1)
    assert float(yaml["accelerometer_noise_density"]) == pytest.approx(
        0.002 / math.sqrt(500) * 9.80665, rel=0.1
    )
    assert float(yaml["update_rate"]) == pytest.approx(500, rel=0.01)
    assert {"accelerometer_random_walk", "gyroscope_random_walk", "rostopic"} <= set(yaml)
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("VYRE_NOISE_PROFILES", str(tmp_path / "profiles"))
        profile = noise_profile.load(int(report["device_id"], 16))
    density = channels["raw_angular_rate_x_deg_per_s"]["white_noise_density"]["value"]
    assert profile.sample_variance("raw_angular_rate_x_deg_per_s", 200) == pytest.approx(density**2 * 200)
