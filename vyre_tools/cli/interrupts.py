"""Ctrl-C as a request to stop cleanly.

A KeyboardInterrupt can land anywhere, halfway through writing a row or
between queuing a frame and waiting for its answer.  Long-running commands
instead note the first Ctrl-C and finish their loop at a point they choose;
a second Ctrl-C gives up waiting and interrupts as usual.

A library call that waits can only be ended by a handler that raises (it
runs the handlers while it waits, see vyre_python/src/wait_scope.hpp):
within ``stop.at_once()`` the first Ctrl-C raises KeyboardInterrupt.

The other signals that end a process by default (SIGTERM from ``kill``,
``timeout`` and service managers, SIGHUP when the terminal goes, SIGQUIT,
...) are taken the same way, so a recording is closed properly whatever
ends the command; a signal that was ignored when the command started
(``nohup``) stays ignored.  A command stopped so ends with status 128 plus
the signal's number, as shells report a command a signal ended (130 for
Ctrl-C, 143 for SIGTERM).
"""

import contextlib
import signal
import threading
from collections.abc import Callable, Iterator
from types import FrameType
from typing import Any


# ended by default: taken as a request to stop (SIGINT first)
STOP_SIGNALS = tuple(
    getattr(signal, name)
    for name in (
        "SIGINT",
        "SIGTERM",
        "SIGHUP",
        "SIGQUIT",
        "SIGALRM",
        "SIGUSR1",
        "SIGUSR2",
        "SIGXCPU",
        "SIGVTALRM",
        "SIGPROF",
        "SIGPWR",
    )
    if hasattr(signal, name)
)


class StopRequest:
    def __init__(self) -> None:
        self.requested = False
        self.immediate = False
        self.signum: int | None = None  # the first signal that asked to stop

    @property
    def status(self) -> int:
        """The exit status of a command this request stopped: 128 + the signal."""
        return 128 + (self.signum or signal.SIGINT)

    @property
    def cause(self) -> str:
        """What asked to stop, for the user: Ctrl-C, or the signal's name."""
        if self.signum in (None, signal.SIGINT):
            return "Ctrl-C"
        return signal.Signals(self.signum).name

    def __bool__(self) -> bool:
        return self.requested

    @contextlib.contextmanager
    def at_once(self) -> Iterator[None]:
        """Ctrl-C raises KeyboardInterrupt within the block; one that came
        before raises on entry."""
        if self.requested:
            raise KeyboardInterrupt
        self.immediate = True
        try:
            yield
        finally:
            self.immediate = False


@contextlib.contextmanager
def stop_on_interrupt() -> Iterator[StopRequest]:
    stop = StopRequest()
    if threading.current_thread() is not threading.main_thread():
        yield stop  # signal handlers belong to the main thread
        return

    def handler(signum: int, frame: FrameType | None) -> None:
        raise_now = stop.requested or stop.immediate
        stop.requested = True
        if stop.signum is None:
            stop.signum = signum
        if raise_now:
            raise KeyboardInterrupt

    previous: dict[int, Callable[[int, FrameType | None], Any] | int | None] = {}
    try:
        for signum in STOP_SIGNALS:
            if signum == signal.SIGINT or signal.getsignal(signum) == signal.SIG_DFL:
                previous[signum] = signal.signal(signum, handler)
        yield stop
    finally:
        for signum, old in previous.items():
            signal.signal(signum, old)
