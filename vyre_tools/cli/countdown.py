"""A countdown on the terminal while the library holds the interpreter.

The calibration call keeps the interpreter lock for its whole collection
time, so nothing in this process can draw meanwhile.  A small child process
with an interpreter of its own draws the countdown instead; it stops at the
deadline, when its parent goes away, or when it is terminated.
"""

import os
import subprocess
import sys
import time
from typing import Self

_CHILD = r"""
import math, os, sys, time
deadline, total, parent = float(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
out, width = sys.stdout, 30
try:
    while True:
        left = deadline - time.monotonic()
        if left <= 0 or os.getppid() != parent:
            break
        done = int(width * (1 - left / total)) if total > 0 else width
        out.write("\r  collecting [" + "#" * done + "." * (width - done) + "] "
                  + f"{math.ceil(left):3d} s left, keep turning the device ")
        out.flush()
        time.sleep(min(0.2, left))
    out.write("\r" + " " * 78 + "\r")
    out.flush()
except (KeyboardInterrupt, OSError):
    pass
"""


class Countdown:
    """``with Countdown(seconds):`` shows a bar counting down to now + seconds."""

    def __init__(self, seconds: float) -> None:
        self.seconds = seconds
        self._proc: subprocess.Popen[bytes] | None = None

    def __enter__(self) -> Self:
        deadline = time.monotonic() + self.seconds
        try:
            # its own session: a Ctrl-C must not kill it mid-line
            self._proc = subprocess.Popen(
                [sys.executable, "-I", "-c", _CHILD, repr(deadline), repr(self.seconds), str(os.getpid())],
                stdin=subprocess.DEVNULL,
                start_new_session=True,
            )
        except OSError:
            self._proc = None  # a missing countdown is no reason to fail
        return self

    def __exit__(self, *exc: object) -> None:
        proc, self._proc = self._proc, None
        if proc is not None:
            if proc.poll() is None:
                proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def flush_c_stdout() -> None:
    """The library prints through C's stdio, whose buffer a pipe only sees at
    exit; flush it so its lines land where they belong among ours."""
    try:
        import ctypes

        ctypes.CDLL(None).fflush(None)
    except (OSError, AttributeError, ImportError):
        pass
