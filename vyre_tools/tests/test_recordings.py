"""Recordings in every format, end to end: what the client received from the
simulated device reads back value for value, at its own precision; the
vyre command records, converts and plots each format."""

import json
import re
import time

import pytest

from vyre_tools import recording
from vyre_tools.sim import Simulator

from .cli_support import assert_png, client_ready, run_vyre  # noqa: F401

pytestmark = pytest.mark.usefixtures("client_ready")

SUFFIXES = list(recording.FORMATS)


def assert_same(got, want):
    import numpy as np
    assert got.dtype == want.dtype  # names, order, float32 kept float32
    for name in want.dtype.names:
        assert np.array_equal(got[name], want[name], equal_nan=True), name
        assert np.array_equal(np.signbit(got[name]), np.signbit(want[name])), name


def awkward_rows(dtype):
    """Values that plain text or JSON get wrong: no shortest float32 text,
    signs of zero, NaN, infinities, the float32 extremes."""
    import numpy as np
    values = [22.73, -0.0, float("nan"), float("inf"), -float("inf"), 1e-45, 3.4028235e38,
              0.1, 1e-7]
    rows = np.zeros(len(values), dtype)
    for i, name in enumerate(dtype.names):
        rows[name] = np.roll(np.array(values), i).astype(dtype[name])
    rows["timestamp_seconds"] = 1e9 + np.arange(len(values)) / 3
    rows["host_time_seconds"] = 1.8e9 + np.arange(len(values)) / 7
    return rows


@pytest.fixture(scope="module")
def received():
    """One second of telemetry as the client delivered it, poll by poll."""
    import vyre_client
    batches = []
    with Simulator.spawn(rate=1000) as sim, vyre_client.VYREClient(sim.port_name) as client:
        end = time.monotonic() + 1.0
        while time.monotonic() < end or not batches:
            batch = client.get_data_array()
            if len(batch):
                batches.append(batch)
            time.sleep(0.02)
    return batches


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_what_was_received_reads_back_value_for_value(received, tmp_path, suffix):
    import numpy as np
    path = tmp_path / f"run{suffix}"
    extra = awkward_rows(recording.packet_dtype())
    with recording.open_writer(path, recording.packet_dtype()) as writer:
        for batch in [*received, extra]:
            writer.write(batch)
    want = np.concatenate([*received, extra])
    assert writer.rows == len(want) > 500
    assert_same(recording.read(path), want)

    if suffix == ".csv":  # the shortest text of each value, not the float64 of the float32
        lines = path.read_text().splitlines()
        assert lines[0].split(",") == list(want.dtype.names)
        assert re.search(r"(^|,)22\.73,", lines[-len(extra)])
        assert "22.729999" not in path.read_text()
    if suffix == ".mcap":  # what a viewer sees: strict JSON under a JSON schema, host time
        from mcap.reader import make_reader

        def no_constants(token):
            raise ValueError(f"not JSON: {token}")
        with open(path, "rb") as f:
            messages = list(make_reader(f).iter_messages(log_time_order=False))
        schema, channel, first = messages[0]
        assert (schema.encoding, channel.message_encoding) == ("jsonschema", "json")
        properties = json.loads(schema.data)["properties"]
        assert list(properties) == list(want.dtype.names)
        assert all(p == {"type": "number"} for p in properties.values())  # what viewers parse
        for (_, _, message), host_time in zip(messages, want["host_time_seconds"]):
            json.loads(message.data, parse_constant=no_constants)
            assert message.log_time == int(host_time * 1e9)


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_the_command_records_converts_and_plots_each_format(tmp_path, suffix):
    path = tmp_path / f"run{suffix}"
    proc = run_vyre("stream", "--sim", "--sim-option", "rate=500", "--duration", "0.8",
                    "--record", path)
    assert proc.returncode == 0, proc.stderr
    packets = int(re.search(r"recorded (\d+) packets", proc.stdout).group(1))
    rows = recording.read(path)
    assert len(rows) == packets > 200
    assert (rows["host_time_seconds"] > 1.5e9).all()
    assert (rows["timestamp_seconds"][1:] > rows["timestamp_seconds"][:-1]).all()

    # into the next format and back to a picture
    other = tmp_path / f"copy{SUFFIXES[(SUFFIXES.index(suffix) + 1) % len(SUFFIXES)]}"
    converted = run_vyre("convert", path, other)
    assert converted.returncode == 0, converted.stderr
    assert f"converted {packets} rows" in converted.stdout
    assert_same(recording.read(other), rows)
    plotted = run_vyre("plot", other, "-o", tmp_path / "run.png")
    assert plotted.returncode == 0, plotted.stderr
    assert_png(tmp_path / "run.png")
