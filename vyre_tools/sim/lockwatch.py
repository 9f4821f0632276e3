"""Noticing a client of this process that keeps the interpreter lock while
it waits.

A Simulator made in this process answers from a Python thread.  A client
whose ``release_gil`` is False holds the interpreter lock for its whole wait,
so that thread cannot run until the wait has timed out: every command goes
unanswered, and its late answer is taken by the next call of its kind.  The
device thread sees it afterwards as a stall of its loop.  A busy machine
stalls it too: the time the threads of this process spent runnable without
a processor (the kernel's run delay; the device thread's own, and that of a
thread that held the lock while it waited for one) is taken off the stall.
What remains counts as the lock's when a descriptor of this process holds
the device's port.  A client that closes the port before the thread runs
again leaves no trace of itself and goes unnoticed (its call has timed out
as before).
"""

import os
import time

STALL_LIMIT = 0.3  # seconds a loop may overrun its sleep before it counts
SAMPLE_EVERY = 0.05
TASKS = "/proc/self/task"


def _run_delays() -> dict[str, float] | None:
    """Seconds each thread of this process has spent runnable but not running,
    by thread id, or None."""
    try:
        tids = os.listdir(TASKS)
    except OSError:
        return None
    delays: dict[str, float] = {}
    for tid in tids:
        try:
            with open(f"{TASKS}/{tid}/schedstat") as f:
                delays[tid] = int(f.read().split()[1]) / 1e9
        except (OSError, ValueError, IndexError):
            continue  # ended meanwhile
    return delays or None


def _waited(before: dict[str, float], after: dict[str, float]) -> float:
    """Seconds the threads spent waiting for a processor between two samples:
    a thread that ended meanwhile counts for nothing, one that began for all
    of its own."""
    return sum(delay - before.get(tid, 0.0) for tid, delay in after.items())


def _held_here(port: str, own_fd: int) -> bool:
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

    def __init__(self) -> None:
        self._mark = time.monotonic()
        self._sampled_at = -SAMPLE_EVERY
        self._delay = _run_delays()

    def held(self, slept: float, port: str, own_fd: int) -> float | None:
        """After a sleep of at most ``slept`` seconds: for how long a client
        of this process kept the thread from running, when it did, else None."""
        now = time.monotonic()
        stall, self._mark = now - self._mark - slept, now
        if stall < STALL_LIMIT:
            if now - self._sampled_at >= SAMPLE_EVERY:
                self._sampled_at, self._delay = now, _run_delays()
            return None
        delay = _run_delays()
        if delay is not None and self._delay is not None:
            stall -= _waited(self._delay, delay)  # a busy machine's share
        self._sampled_at, self._delay = now, delay
        if stall < STALL_LIMIT or not _held_here(port, own_fd):
            return None
        return stall
