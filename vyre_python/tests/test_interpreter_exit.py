"""A program may end while one of its daemon threads waits in a client."""

import os
import subprocess
import sys
import time

import pytest

from harness import PtyDevice

PROGRAM = os.path.join(os.path.dirname(__file__), "exit_program.py")


# With the lock kept the wait holds every thread, the main one too, until it
# ends: a short wait. Released, the program must not wait for its 30 s.
@pytest.mark.parametrize("mode, wait", [("released", 30.0), ("kept", 0.5)])
def test_a_program_ends_cleanly_while_a_daemon_thread_waits(mode, wait):
    devices = [PtyDevice() for _ in range(3)]
    try:
        begin = time.monotonic()
        runs = [
            subprocess.Popen(
                [sys.executable, PROGRAM, d.path, mode, str(wait), "1000000"],
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                stdin=subprocess.DEVNULL,
                text=True,
            )
            for d in devices
        ]
        outcomes = [run.communicate(timeout=120) + (run.returncode,) for run in runs]
        assert outcomes == [("ending\n", "", 0)] * len(runs)
        assert time.monotonic() - begin < 20
    finally:
        for device in devices:
            device.close()
