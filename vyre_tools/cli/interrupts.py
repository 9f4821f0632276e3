"""Ctrl-C as a request to stop cleanly.

A KeyboardInterrupt can land anywhere, halfway through writing a row or
between queuing a frame and waiting for its answer.  Long-running commands
instead note the first Ctrl-C and finish their loop at a point they choose;
a second Ctrl-C gives up waiting and interrupts as usual.
"""

import contextlib
import signal
import threading


class StopRequest:
    def __init__(self):
        self.requested = False

    def __bool__(self):
        return self.requested


@contextlib.contextmanager
def stop_on_interrupt():
    stop = StopRequest()
    if threading.current_thread() is not threading.main_thread():
        yield stop  # signal handlers belong to the main thread
        return

    def handler(signum, frame):
        if stop.requested:
            raise KeyboardInterrupt
        stop.requested = True

    previous = signal.signal(signal.SIGINT, handler)
    try:
        yield stop
    finally:
        signal.signal(signal.SIGINT, previous)
