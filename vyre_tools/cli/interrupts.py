"""Ctrl-C as a request to stop cleanly.

A KeyboardInterrupt can land anywhere, halfway through writing a row or
between queuing a frame and waiting for its answer.  Long-running commands
instead note the first Ctrl-C and finish their loop at a point they choose;
a second Ctrl-C gives up waiting and interrupts as usual.

A library call that waits can only be ended by a handler that raises (it
runs the handlers while it waits, see vyre_python/src/wait_scope.hpp):
within ``stop.at_once()`` the first Ctrl-C raises KeyboardInterrupt.
"""

import contextlib
import signal
import threading


class StopRequest:
    def __init__(self):
        self.requested = False
        self.immediate = False

    def __bool__(self):
        return self.requested

    @contextlib.contextmanager
    def at_once(self):
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
def stop_on_interrupt():
    stop = StopRequest()
    if threading.current_thread() is not threading.main_thread():
        yield stop  # signal handlers belong to the main thread
        return

    def handler(signum, frame):
        raise_now = stop.requested or stop.immediate
        stop.requested = True
        if raise_now:
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, handler)
    try:
        yield stop
    finally:
        signal.signal(signal.SIGINT, previous)
