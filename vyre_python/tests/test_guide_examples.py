"""The user guide's examples (docs/examples), each run as a reader would run it:
a script of its own against a simulated device, checking what it shows."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "docs" / "examples"

# example -> a line its output must hold
SHOWS = {
    "first_stream.py": "firmware 1.4.2",
    "arrays.py": "host_time_seconds",
    "commands.py": "InternalFaultError: cannot convert float seconds to Duration: value is negative",
    "replay.py": "sent 400 records",
    # printed by the library on the process's standard output, not sys.stdout
    "calibration.py": "Calibration result:",
    "link_check.py": "crc_rejected",
}


def test_every_example_is_run():
    assert sorted(SHOWS) == sorted(p.name for p in EXAMPLES.glob("*.py"))


@pytest.mark.parametrize("name", sorted(SHOWS))
def test_guide_example_runs_against_the_simulated_device(name, tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(ROOT), os.environ.get("PYTHONPATH")])))
    result = subprocess.run([sys.executable, str(EXAMPLES / name)], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=180)
    assert result.returncode == 0, result.stdout + result.stderr
    assert SHOWS[name] in result.stdout, result.stdout
