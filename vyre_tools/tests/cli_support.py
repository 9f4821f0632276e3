"""Running the vyre command in a child process, as a user would."""

import contextlib
import csv
import math
import os
import select
import subprocess
import sys
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def cli_env(**extra):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(x for x in (ROOT, env.get("PYTHONPATH")) if x)
    env.pop("VYRE_PORT", None)
    env.update(extra)
    return env


def vyre_argv(*args):
    return [sys.executable, "-m", "vyre_tools.cli", *map(str, args)]


def run_vyre(*args, timeout=120, **env):
    """Run ``vyre ARGS`` to its end; returns the CompletedProcess."""
    return subprocess.run(
        vyre_argv(*args),
        capture_output=True,
        text=True,
        timeout=timeout,
        env=cli_env(**env),
        stdin=subprocess.DEVNULL,
    )


def start_vyre(*args, **env):
    return subprocess.Popen(
        vyre_argv(*args),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=cli_env(**env),
        stdin=subprocess.DEVNULL,
    )


def assert_one_line_error(proc, status, *fragments):
    """Failed with ``status`` and a single line on stderr holding ``fragments``."""
    assert proc.returncode == status, (proc.stdout, proc.stderr)
    assert "Traceback" not in proc.stderr + proc.stdout
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1, proc.stderr
    for fragment in fragments:
        assert fragment in lines[0], lines[0]


def assert_png(path):
    with open(path, "rb") as f:
        head = f.read(8)
    assert head == b"\x89PNG\r\n\x1a\n"
    assert os.path.getsize(path) > 10_000  # axes, labels and data, not a blank canvas


def read_csv(path):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], [[float(x) for x in row] for row in rows[1:]]


FIELDS = (
    "timestamp_seconds",
    "temperature_celsius",
    "pressure_pascals",
    "raw_acceleration_x_gs",
    "raw_acceleration_y_gs",
    "raw_acceleration_z_gs",
    "raw_rotated_acceleration_x_gs",
    "raw_rotated_acceleration_y_gs",
    "raw_rotated_acceleration_z_gs",
    "est_tilt_angle_degrees",
    "raw_angular_rate_x_deg_per_s",
    "raw_angular_rate_y_deg_per_s",
    "raw_angular_rate_z_deg_per_s",
    "magnetic_field_x_microteslas",
    "magnetic_field_y_microteslas",
    "magnetic_field_z_microteslas",
    "est_position_z_meters",
    "est_velocity_z_meters_per_s",
    "est_mach_number",
    "est_quaternion_w",
    "est_quaternion_x",
    "est_quaternion_y",
    "est_quaternion_z",
)


def write_recording(path, n=400, rate=200.0):
    """A recording in the layout ``vyre stream --record`` writes: a climb
    with a level attitude."""
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(FIELDS)
        for i in range(n):
            t = 3.0 + i / rate
            row = dict.fromkeys(FIELDS, 0.0)
            row.update(
                timestamp_seconds=t,
                temperature_celsius=20.0,
                pressure_pascals=98000.0,
                raw_acceleration_z_gs=1.0,
                raw_rotated_acceleration_z_gs=1.0,
                est_position_z_meters=250 + 5 * math.sin(t),
                est_velocity_z_meters_per_s=5 * math.cos(t),
                est_mach_number=abs(5 * math.cos(t)) / 343,
                est_tilt_angle_degrees=2.0,
                est_quaternion_w=1.0,
            )
            w.writerow([row[k] for k in FIELDS])
    return path


@pytest.fixture
def client_ready():
    """Skips while the module lacks its client class; a module that does not
    import at all is a broken build and fails instead."""
    import vyre_client

    if not hasattr(vyre_client, "VYREClient"):
        pytest.skip("this build of vyre_client has no VYREClient yet")


@contextlib.contextmanager
def serving_ui(*args):
    """``vyre ui ARGS`` without a browser on a free port, as a child process
    (ended at the block's end) with what it printed: the address as ``url``
    and a line on stderr before it, if any, as ``warning``."""
    env = cli_env()
    env.pop("PYTEST_CURRENT_TEST", None)  # NiceGUI would take itself for a test run
    proc = subprocess.Popen(
        vyre_argv("ui", "--no-browser", "--http-port", "0", *args),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        stdin=subprocess.DEVNULL,
    )
    try:
        line, deadline = "", time.monotonic() + 60
        while "http://" not in line:
            ready, _, _ = select.select([proc.stdout], [], [], max(0.0, deadline - time.monotonic()))
            assert ready and proc.poll() is None, f"vyre ui did not start: {proc.stderr.read()}"
            line = proc.stdout.readline()
        proc.url = line[line.index("http://") :].split()[0]
        ready, _, _ = select.select([proc.stderr], [], [], 0)
        proc.warning = proc.stderr.readline() if ready else ""
        yield proc
    finally:
        proc.terminate()
        try:
            proc.wait(20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        proc.stdout.close()
        proc.stderr.close()
