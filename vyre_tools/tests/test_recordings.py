"""Recordings in every format, end to end: what the client received from the
simulated device reads back value for value, at its own precision; the
vyre command records, converts and plots each format."""

import json
import re
import signal
import subprocess
import time

import pytest

from vyre_tools import recording
from vyre_tools.sim import Simulator

from .cli_support import (
    assert_one_line_error,
    assert_png,
    cli_env,
    client_ready,  # noqa: F401
    run_vyre,
    start_vyre,
    vyre_argv,
)

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

    values = [22.73, -0.0, float("nan"), float("inf"), -float("inf"), 1e-45, 3.4028235e38, 0.1, 1e-7]
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
    assert recording.read_metadata(path) == {}  # none given: a recording as made before

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
    proc = run_vyre("stream", "--sim", "--sim-option", "rate=500", "--duration", "0.8", "--record", path)
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
    # what the recording came from, kept by the conversion and shown by the plot
    meta = recording.read_metadata(path)
    assert re.fullmatch(r"0x[0-9A-F]{16}", meta["device_id"]) and meta["firmware"]
    assert meta["configuration"]["frequency_hz"] == 500
    assert meta["units"]["pressure_pascals"] == "Pa" and meta["units"]["est_mach_number"] == "1"
    assert meta["library"].startswith("vyre_client ") and meta["start_time"].startswith("20")
    assert recording.read_metadata(other) == meta
    plotted = run_vyre("plot", other, "-o", tmp_path / "run.png")
    assert plotted.returncode == 0, plotted.stderr
    assert f"device {meta['device_id']} firmware {meta['firmware']}" in plotted.stdout
    assert_png(tmp_path / "run.png")


def rows_recorded(path, at_least, proc, timeout=60):
    """The rows of the recording being written at ``path``, once it holds
    ``at_least`` of them (as a crash would leave it)."""
    deadline = time.monotonic() + timeout
    while True:
        assert proc.poll() is None, proc.communicate()
        try:
            rows = recording.read(path)
            if len(rows) >= at_least:
                return rows
        except (recording.RecordingError, FileNotFoundError):
            pass
        assert time.monotonic() < deadline, "the recording did not grow"
        time.sleep(0.1)


@pytest.mark.parametrize(
    "signum,suffix",
    [
        *((signal.SIGKILL, suffix) for suffix in SUFFIXES),
        (signal.SIGTERM, ".parquet"),
        (signal.SIGTERM, ".mcap"),
        (signal.SIGHUP, ".npz"),
        (signal.SIGHUP, ".csv"),
    ],
    ids=lambda v: v.name if isinstance(v, signal.Signals) else v,
)
def test_a_recording_ended_by_a_signal_keeps_its_rows(tmp_path, signum, suffix):
    import numpy as np

    path = tmp_path / f"run{suffix}"
    with Simulator.spawn(rate=300) as sim:
        proc = start_vyre("stream", "--port", sim.port_name, "--record", path)
        try:
            # past the first push, which carries what queued while the command started
            seen = rows_recorded(path, len(rows_recorded(path, 1, proc)) + 300, proc)
            ended = time.time()
            proc.send_signal(signum)
            out, err = proc.communicate(timeout=60)
        finally:
            proc.kill()
    rows = recording.read(path)
    assert_same(rows[: len(seen)], seen)
    # all but about the last second, whatever ended the command (on a loaded
    # machine the writer's once-a-second flush itself comes seconds late)
    assert rows["host_time_seconds"][-1] > ended - 4.0
    if signum == signal.SIGKILL:
        copy = tmp_path / f"copy{suffix}"
        converted = run_vyre("convert", path, copy)
        assert converted.returncode == 0, converted.stderr
        assert_same(recording.read(copy), rows)
        return
    # closed as at the end of a run: the format's own readers take it
    assert proc.returncode == 128 + signum, err
    assert f"stopped by {signal.Signals(signum).name}" in out
    assert f"recorded {len(rows)} packets" in out
    if suffix == ".parquet":
        import pyarrow.parquet

        assert pyarrow.parquet.read_table(path).num_rows == len(rows)
    elif suffix == ".npz":
        with np.load(path) as archive:
            assert len(archive["host_time_seconds"]) == len(rows)
    elif suffix == ".mcap":
        from mcap.reader import make_reader

        with open(path, "rb") as f:
            assert make_reader(f).get_summary().statistics.message_count == len(rows)


def recording_in_progress(tmp_path, suffix, batches=6, rows=40):
    """The bytes of a recording whose writer pushed ``batches`` to the disk
    and was never closed, and the rows it was given."""
    import numpy as np

    dtype = recording.packet_dtype()
    written = np.concatenate([awkward_rows(dtype)] * (batches * rows // 9 + 1))[: batches * rows]
    written["host_time_seconds"] += np.arange(len(written))
    path = tmp_path / f"open{suffix}"
    writer = recording.open_writer(path, dtype)
    writer.sync_seconds = 0  # every batch to the disk at once
    for start in range(0, len(written), rows):
        writer.write(written[start : start + rows])
    data = path.read_bytes()
    writer.close()
    return data, written


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_recording_cut_anywhere_reads_back_what_came_before(tmp_path, suffix):
    data, written = recording_in_progress(tmp_path, suffix)
    cut = tmp_path / f"cut{suffix}"
    whole = recording_read_bytes(cut, data)
    assert_same(whole, written)
    got = [0]
    for end in sorted({*range(len(data) // 2, len(data), max(1, len(data) // 97)), len(data) - 1}):
        rows = recording_read_bytes(cut, data[:end])
        # a prefix of what was written, growing with the file, at most a batch behind
        assert_same(rows, written[: len(rows)])
        assert len(rows) >= got[-1]
        got.append(len(rows))
    assert got[-1] >= len(written) - 40 - 1


def recording_read_bytes(path, data):
    path.write_bytes(data)
    return recording.read(path)


@pytest.mark.parametrize("dtype", ["f4", []], ids=["plain", "no-fields"])
@pytest.mark.parametrize("suffix", SUFFIXES)
def test_rows_without_fields_are_refused_before_a_file_is_made(tmp_path, suffix, dtype):
    import numpy as np

    path = tmp_path / f"plain{suffix}"
    with pytest.raises(TypeError, match="structured dtype"):
        recording.open_writer(path, np.dtype(dtype), {"device_id": 1})
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_full_disk_is_reported_once_as_such(tmp_path, suffix):
    path = tmp_path / f"full{suffix}"
    path.symlink_to("/dev/full")
    proc = run_vyre("stream", "--sim", "--sim-option", "rate=300", "--duration", "3", "--record", path)
    assert_one_line_error(proc, 1, "No space left on device", str(path))


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_disk_that_fills_up_keeps_what_was_written(tmp_path, suffix):
    """A small disk of its own (a tmpfs in a user and mount namespace):
    the stream stops with the reason, what fit reads back."""
    import shutil

    if (
        shutil.which("unshare") is None
        or subprocess.run(
            ["unshare", "--user", "--map-root-user", "--mount", "true"], capture_output=True
        ).returncode
        != 0
    ):
        pytest.skip("no unprivileged mount namespaces here to make a small disk in")
    disk = tmp_path / "disk"
    disk.mkdir()
    script = (
        f"mount -t tmpfs -o size=512k none {disk} || exit 99; {' '.join(vyre_argv())} "
        f"stream --sim --sim-option rate=2000 --duration 30 --record {disk}/run{suffix}; "
        f"status=$?; cp {disk}/run{suffix} {tmp_path}; exit $status"
    )
    proc = subprocess.run(
        ["unshare", "--user", "--map-root-user", "--mount", "sh", "-c", script],
        capture_output=True,
        text=True,
        timeout=120,
        env=cli_env(),
        stdin=subprocess.DEVNULL,
    )
    if proc.returncode == 99:
        pytest.skip(f"cannot mount a small disk here: {proc.stderr.strip()}")
    assert_one_line_error(proc, 1, "No space left on device")
    rows = recording.read(tmp_path / f"run{suffix}")
    assert len(rows) > 100
    if suffix == ".csv":  # every whole line, the cut one left out
        assert len(rows) == (tmp_path / "run.csv").read_bytes().count(b"\n") - 1


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_any_host_time_reads_back(tmp_path, suffix):
    import numpy as np

    rows = awkward_rows(recording.packet_dtype())
    rows["host_time_seconds"] = [
        9.3e9,
        1e10,
        1.8446744073709552e10,
        1e300,
        -1.0,
        float("nan"),
        float("inf"),
        -float("inf"),
        5e-324,
    ]
    path = tmp_path / f"far{suffix}"
    with recording.open_writer(path, rows.dtype) as writer:
        writer.write(rows)
    assert_same(recording.read(path), rows)
    if suffix == ".mcap":  # logged at the nearest time a log time can tell
        from mcap.reader import make_reader

        with open(path, "rb") as f:
            stamps = [m.log_time for _, _, m in make_reader(f).iter_messages(log_time_order=False)]
        assert stamps[:2] == [9_300_000_000_000_000_000, 10_000_000_000_000_000_000]
        assert stamps[3:7] == [2**64 - 2048, 0, 0, 2**64 - 2048]
        assert np.all(np.array(stamps) < 2**64)


_SMALL = {}


def small_recording(suffix, closed):
    """The bytes of a small recording (closed, or still being written)."""
    import tempfile
    from pathlib import Path

    if (suffix, closed) not in _SMALL:
        with tempfile.TemporaryDirectory() as folder:
            data, rows = recording_in_progress(Path(folder), suffix, batches=2, rows=3)
            _SMALL[suffix, closed] = Path(folder, f"open{suffix}").read_bytes() if closed else data
    return _SMALL[suffix, closed]


@pytest.fixture
def traced():
    """Memory tracing on for the whole test: switching it on and off for each
    file, while other threads allocate, crashed the interpreter."""
    import tracemalloc

    tracemalloc.start()
    yield
    tracemalloc.stop()


def read_within_memory(path):
    """read(path), and the peak of traced memory it took (with `traced`)."""
    import tracemalloc

    tracemalloc.reset_peak()
    before = tracemalloc.get_traced_memory()[0]
    try:
        rows = recording.read(path)
    except recording.RecordingError as e:
        assert str(path) in str(e)
        rows = None
    return rows, tracemalloc.get_traced_memory()[1] - before


@pytest.mark.parametrize("closed", [True, False], ids=["closed", "open"])
@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_damaged_recording_raises_recording_error(tmp_path, suffix, closed, traced):
    from hypothesis import HealthCheck, given, settings, strategies as st

    original = small_recording(suffix, closed)
    path = tmp_path / f"damaged{suffix}"
    damage = st.tuples(
        st.sampled_from(["set", "cut", "insert", "repeat"]),
        st.integers(0, len(original) - 1),
        st.sampled_from([0, 1, 0x7F, 0x80, 0xFF, ord(","), ord("\n"), ord('"'), ord("["), ord("e"), 0x22]),
        st.integers(1, 64),
    )

    @settings(max_examples=120, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck))
    @given(st.lists(damage, min_size=1, max_size=4))
    def check(damages):
        data = bytearray(original)
        for kind, at, byte, count in damages:
            at %= max(len(data), 1)
            if kind == "set":
                data[at : at + count] = bytes([byte]) * len(data[at : at + count])
            elif kind == "cut":
                del data[at:]
            elif kind == "insert":
                data[at:at] = bytes([byte]) * count
            else:
                data[at:at] = data[at : at + count] * 8
        path.write_bytes(bytes(data))
        rows, peak = read_within_memory(path)
        assert peak < 64 * len(data) + (8 << 20)
        assert rows is None or rows.dtype.names

    check()


def test_what_a_file_claims_is_checked_before_memory_is_taken(tmp_path, traced):
    """Column types, lengths and sizes a file claims: a few hundred bytes
    that would take gigabytes."""
    import zipfile
    import numpy as np
    from mcap.writer import Writer

    files = {}
    with open(tmp_path / "types.mcap", "wb") as f:
        mcap = Writer(f)
        mcap.start()
        channel = mcap.register_channel(
            "/vyre/telemetry", "json", mcap.register_schema("s", "jsonschema", b"{}")
        )
        mcap.add_metadata("vyre.columns", {"names": "a", "dtypes": "S4000000"})
        for t in range(5):
            mcap.add_message(channel, t, b'{"a": 1}', t)
        mcap.finish()
    files["types.mcap"] = "column record"
    with zipfile.ZipFile(tmp_path / "length.npz", "w") as archive:
        header = (
            b"\x93NUMPY\x01\x00"
            + b"v\x00"
            + (b"{'descr': '<f8', 'fortran_order': False, 'shape': (10000000000,), }".ljust(117) + b"\n")
        )
        archive.writestr("a.npy", header + bytes(64))
    files["length.npz"] = "cut short"
    (tmp_path / "nul.csv").write_bytes(b"a,b\n1,2\x00\n3,\"4\n")
    files["nul.csv"] = "line 2"
    for name, problem in files.items():
        rows, peak = read_within_memory(tmp_path / name)
        assert rows is None, name
        assert peak < 8 << 20, name
    with pytest.raises(recording.RecordingError, match="column record"):
        recording.read(tmp_path / "types.mcap")
    assert np.dtype("S4000000").itemsize * 5 > 100 * (tmp_path / "types.mcap").stat().st_size


def test_a_session_starts_from_fresh_data_however_long_the_device_streamed_before(tmp_path):
    """Telemetry that waited in the port and in the device before the port was
    opened is older than the session: rates, gaps and the recording leave it out."""
    from .cli_support import read_csv

    with Simulator.spawn(rate=2000) as sim:
        # nobody reads: the port's buffer is full and the device queues the rest
        sim.wait_status(lambda s: s["pending_output_bytes"] > 20_000)
        path = tmp_path / "fresh.csv"
        proc = run_vyre("stream", "--port", sim.port_name, "--duration", "1", "--record", path)
    assert proc.returncode == 0, proc.stderr
    got = re.search(r"received (\d+) packets in ([\d.]+) s \(([\d.]+) packets/s\); gaps 0 ", proc.stdout)
    assert got, proc.stdout
    seconds, rate = float(got[2]), float(got[3])
    assert rate < 2000 * 1.05
    _, rows = read_csv(path)
    # as much device time as host time: a backlog packs more device time in
    assert rows[-1][0] - rows[0][0] < seconds + 0.05
