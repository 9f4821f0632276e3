"""The programs in examples/ run briefly against simulated devices."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.parametrize(
    "program, expect",
    [
        ("live_plot.py", r"plot updated [1-9]\d* times, last [1-9]\d* samples shown"),
        ("asyncio_service.py", r"[1-9]\d* packets \(0 out of order\), [1-9]\d* answers"),
        # altitudes to the centimetre, not every digit of a float
        (
            "two_devices.py",
            r"altitude -?\d+\.\d\d m  \S+: \d+ packets, altitude -?\d+\.\d\d m\n"
            r"[\s\S]*totals: [1-9]\d*, [1-9]\d*",
        ),
    ],
)
def test_example_runs_on_the_simulator(program, expect):
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=str(ROOT))
    done = subprocess.run(
        [sys.executable, str(ROOT / "examples" / program), "--sim", "--seconds", "2.5"],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
        cwd=ROOT,
    )
    assert done.returncode == 0, done.stderr
    assert re.search(expect, done.stdout), done.stdout
