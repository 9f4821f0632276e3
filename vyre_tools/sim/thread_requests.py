"""Requests to the device thread: another thread's call runs as a job between
two turns of the device loop (or in the caller once the thread has ended),
so that no device state is ever touched by two threads."""

import collections
import os
import threading
import time
from collections.abc import Callable
from typing import Any, cast

from .errors import SimulatorError
from .state import DeviceState


class ThreadRequests(DeviceState):
    """The request queue and the wake-up pipe of the device thread, mixed into
    :class:`vyre_tools.sim.Simulator`."""

    def _init_requests(self) -> None:
        self._requests: collections.deque[Callable[[], None]] = collections.deque()
        self._request_lock = threading.Lock()
        self._refusal: str | None = None  # why a client of this process was refused
        self._refusal_told = False
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        os.set_blocking(self._wake_w, False)

    def _drain_wake(self) -> None:
        try:
            while os.read(self._wake_r, 4096):
                pass
        except BlockingIOError:
            pass

    def _wake(self) -> None:
        try:
            os.write(self._wake_w, b"\0")
        except OSError:
            pass  # a full pipe wakes the thread all the same

    def _request[T](self, fn: Callable[[], T], timeout: float = 10.0) -> T:
        """Run ``fn`` on the device thread (or here once it has ended)."""
        try:
            return self._run_request(fn, timeout)
        finally:
            self._tell_refusal()

    def _run_request[T](self, fn: Callable[[], T], timeout: float) -> T:
        if not self._thread.is_alive():
            with self._request_lock:
                return fn()
        done = threading.Event()
        slot: dict[str, Any] = {}

        def job() -> None:
            try:
                slot["result"] = fn()
            except BaseException as e:  # handed back to the caller
                slot["error"] = e
            done.set()

        with self._request_lock:
            self._requests.append(job)
        self._wake()
        deadline = time.monotonic() + timeout
        while not done.wait(0.05):
            if not self._thread.is_alive():
                # the thread ended before it saw the job: run it here
                with self._request_lock:
                    if job in self._requests:
                        self._requests.remove(job)
                        job()
                break
            if time.monotonic() > deadline:
                raise SimulatorError("simulator thread did not answer")
        if not done.is_set():
            raise SimulatorError("simulator thread ended while serving a request")
        if "error" in slot:
            raise slot["error"]
        return cast(T, slot.get("result"))

    def _serve_requests(self) -> None:
        while True:
            with self._request_lock:
                if not self._requests:
                    return
                job = self._requests.popleft()
            job()

    def _tell_refusal(self) -> None:
        if self._refusal is not None and not self._refusal_told:
            self._refusal_told = True
            raise SimulatorError(self._refusal)
