"""Test doubles built from real parts: a pseudo-terminal on which the test plays
the device, and small helpers for threads, signals and waiting."""

import contextlib
import os
import select
import signal
import threading
import time
import tty


class PtyDevice:
    """The device end (master) of a pseudo-terminal; `path` is the serial port.

    The test keeps its own descriptor of the terminal open, so the client's
    opening and closing of the port never hangs the terminal up; only closing
    the master does (the device is unplugged)."""

    def __init__(self):
        self.master, self._slave = os.openpty()
        tty.setraw(self.master)
        self.path = os.ttyname(self._slave)

    def write(self, data: bytes) -> None:
        view = memoryview(data)
        while view:
            view = view[os.write(self.master, view) :]

    def read(self, count: int, within: float = 10.0) -> bytes:
        """What the client wrote: up to `count` bytes, waiting at most `within` seconds."""
        got = bytearray()
        end = time.monotonic() + within
        while len(got) < count:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            got += os.read(self.master, count - len(got))
        return bytes(got)

    def quiet(self, within: float = 0.3) -> bytes:
        """Whatever the client writes during `within` seconds."""
        got = bytearray()
        end = time.monotonic() + within
        while (left := end - time.monotonic()) > 0:
            if select.select([self.master], [], [], left)[0]:
                got += os.read(self.master, 4096)
        return bytes(got)

    def unplug(self) -> None:
        if self.master >= 0:
            os.close(self.master)
            self.master = -1

    def close(self) -> None:
        self.unplug()
        os.close(self._slave)


def thread_count() -> int:
    """Native threads of this process (reader threads included)."""
    return len(os.listdir("/proc/self/task"))


def eventually(predicate, within: float = 10.0) -> bool:
    end = time.monotonic() + within
    while not predicate():
        if time.monotonic() >= end:
            return False
        time.sleep(0.01)
    return True


@contextlib.contextmanager
def alarm(after, handler):
    """Runs `handler` as a signal handler `after` seconds into the block."""
    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, after)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def answer_ctrl_c():
    """Makes SIGINT raise KeyboardInterrupt again when the suite was started
    with it ignored (a background job of a script, nohup): the tests press
    Ctrl-C, here and in the programs they start (which inherit an ignored
    SIGINT, but not a handler)."""
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)


def simulators_keep_partial_frames() -> None:
    """Every simulator the suite starts (here, in child processes, behind the
    vyre command's --sim) waits for ever for the rest of a half-received
    frame: on a loaded machine a rest that came late would be given up, and a
    record with it. The give-up is tested on its own, with the option set."""
    os.environ.setdefault("VYRE_SIM_PARTIAL_FRAME_WAIT", "0")


def let_children_hang_up():
    """Under nohup SIGHUP is ignored, and an ignored signal stays ignored in
    the programs the tests start, so a test's hang-up would never reach them.
    A handler that does nothing keeps this process as safe, and a handler is
    not inherited: the programs get the default."""
    if signal.getsignal(signal.SIGHUP) is signal.SIG_IGN:
        signal.signal(signal.SIGHUP, lambda *_: None)


def press_ctrl_c(*_):
    # what a terminal does: SIGINT, whose default handler raises KeyboardInterrupt
    os.kill(os.getpid(), signal.SIGINT)


def run_in_thread(function):
    """Runs `function` on a new thread and returns ("value", result) or ("error", exception)."""
    outcome = []

    def body():
        try:
            outcome.append(("value", function()))
        except BaseException as error:  # InternalFaultError derives from BaseException
            outcome.append(("error", error))

    worker = threading.Thread(target=body)
    worker.start()
    worker.join()
    return outcome[0]


def internal_fault_type():
    """InternalFaultError, which the module does not export."""
    from vyre_client import VYREClient

    try:
        VYREClient.new_mock(-1)
    except BaseException as error:
        return type(error)
    raise AssertionError("new_mock(-1) did not fail")


InternalFaultError = internal_fault_type()
# what the module says of numbers it cannot take
NEGATIVE = "^cannot convert float seconds to Duration: value is negative$"
TOO_BIG = "^cannot convert float seconds to Duration: value is either too big or NaN$"
OUT_OF_RANGE = "^out of range integral type conversion attempted$"
