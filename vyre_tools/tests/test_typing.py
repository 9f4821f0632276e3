"""A program of a user's that uses the tools passes ``mypy --strict``: the
package is typed (py.typed) and its public functions are annotated."""

import subprocess
import sys

USER_PROGRAM = '''
import pathlib

import vyre_client
from vyre_tools import recording
from vyre_tools.mocklog import MockLog, write_mock_log
from vyre_tools.sim import Simulator


def record(path: pathlib.Path) -> int:
    dtype = recording.packet_dtype()
    with Simulator.spawn(rate=200) as sim, vyre_client.VYREClient(sim.port_name) as client:
        meta = recording.describe_source(dtype.names or (), client.get_device_info(),
                                         client.get_device_config())
        with recording.open_writer(path, dtype, meta) as writer:
            writer.write(client.get_data_array(block=True))
        sim.set_rate(100)
        status = sim.wait_status(lambda s: s["rate"] == 100, timeout=5.0)
    rows = recording.read(path)
    units: dict[str, str] = recording.read_metadata(path)["units"]
    log: MockLog = write_mock_log(path.with_suffix(".log"), 10, 0.01)
    frames: list[tuple[int, bytes]] = log.expected_frames()
    return len(rows) + len(units) + len(frames) + len(status) + writer.rows
'''


def test_a_users_program_passes_mypy_strict(tmp_path):
    (tmp_path / "program.py").write_text(USER_PROGRAM)
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                             "program.py"], capture_output=True, text=True, cwd=tmp_path,
                            timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
