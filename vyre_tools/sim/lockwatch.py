"""Noticing a client of this process that keeps the interpreter lock while
it waits.

A Simulator made in this process answers from a Python thread.  A client
whose ``release_gil`` is False holds the interpreter lock for its whole wait,
so that thread cannot run until the wait has timed out: every command goes
unanswered, and its late answer is taken by the next call of its kind.  The
device thread sees it afterwards as a stall of its loop.  A stall counts as
the lock's only when the thread was not merely waiting for a processor on a
busy machine (the kernel's run delay of the thread tells the two apart) and
a descriptor of this process holds the device's port.  A client that closes
the port before the thread runs again leaves no trace of itself and goes
unnoticed (its call has timed out as before).
"""

import os
import time

STALL_LIMIT = 0.3   # seconds a loop may overrun its sleep before it counts
SAMPLE_EVERY = 0.05
SCHEDSTAT = "/proc/thread-self/schedstat"


def _run_delay():
    """Seconds this thread has spent runnable but not running, or None."""
    try:
        with open(SCHEDSTAT) as f:
            return int(f.read().split()[1]) / 1e9
    except (OSError, ValueError, IndexError):
        return None


def _held_here(port, own_fd):
    """Whether a descriptor of this process other than ``own_fd`` has ``port``
    open."""
    try:
        names = os.listdir("/proc/self/fd")
    except OSError:
        return False
    for name in names:
        if name == str(own_fd):
            continue
        try:
            if os.readlink(f"/proc/self/fd/{name}") == port:
                return True
        except OSError:
            continue  # closed meanwhile
    return False


class LockWatch:
    """Used by the device thread alone, right after each of its sleeps."""

    def __init__(self):
        self._mark = time.monotonic()
        self._sampled_at = -SAMPLE_EVERY
        self._delay = _run_delay()

    def held(self, slept, port, own_fd):
        """After a sleep of at most ``slept`` seconds: for how long a client
        of this process kept the thread from running, when it did, else None."""
        now = time.monotonic()
        stall, self._mark = now - self._mark - slept, now
        if stall < STALL_LIMIT:
            if now - self._sampled_at >= SAMPLE_EVERY:
                self._sampled_at, self._delay = now, _run_delay()
            return None
        delay = _run_delay()
        if delay is not None and self._delay is not None:
            stall -= delay - self._delay  # a busy machine's share
        self._sampled_at, self._delay = now, delay
        if stall < STALL_LIMIT or not _held_here(port, own_fd):
            return None
        return stall
