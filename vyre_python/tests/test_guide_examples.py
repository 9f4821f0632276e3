"""The user guide's examples (docs/examples) and the README's, each run as a
reader would run it: a script of its own against a simulated device, checking
what it shows."""

import os
import pathlib
import re
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
    "field.py": "packets missing by its timestamps",
    "recording.py": "float32 float64",
    "threads.py": "descriptor ready: True",
}


def readme_example():
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), flags=re.DOTALL)
    assert len(blocks) == 1
    return blocks[0]


def run_script(path, cwd):
    env = dict(
        os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(ROOT), os.environ.get("PYTHONPATH")]))
    )
    result = subprocess.run(
        [sys.executable, str(path)], cwd=cwd, env=env, capture_output=True, text=True, timeout=180
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_every_example_is_run():
    assert sorted(SHOWS) == sorted(p.name for p in EXAMPLES.glob("*.py"))


@pytest.mark.parametrize("name", sorted(SHOWS))
def test_guide_example_runs_against_the_simulated_device(name, tmp_path):
    output = run_script(EXAMPLES / name, tmp_path)
    assert SHOWS[name] in output, output


def test_readme_example_runs_and_stays_ten_lines(tmp_path):
    code = readme_example()
    assert len(code.splitlines()) <= 10
    script = tmp_path / "readme.py"
    script.write_text(code)
    output = run_script(script, tmp_path)
    assert "1.4.2" in output
    # it streams: a line at a time over seconds of device time, not one batch
    times = [float(t) for t in re.findall(r"^(\d+\.\d{3}) s ", output, flags=re.MULTILINE)]
    assert len(times) == 15 and times[-1] - times[0] >= 2.0
