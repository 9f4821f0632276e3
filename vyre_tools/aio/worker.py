"""The thread behind an asyncio client.

A ``VYREClient`` belongs to the thread that made it, and its waits block that
thread. So the asyncio client makes its ``VYREClient`` (and the mock handle)
on a thread of its own, which runs the calls the event loop hands it one at a
time with the interpreter lock released while they wait, and between calls
sleeps in ``select`` on a wake-up pipe and, while a consumer asks for
telemetry, the client's ready descriptor.

Telemetry goes to the loop on demand: one batch for each request, at most one
every ``HANDOVER_INTERVAL`` seconds, so a fast device wakes the loop about a
hundred times a second and a consumer that pauses finds everything that came
meanwhile in its next batch (held until then in the client's own queue).

A call whose caller went away (its task was cancelled, the loop closed, or the
main thread ended) is given up through the client's interrupt hook within
about 50 ms; the thread then stops the client and ends by itself. A call cut
short because the client is closing fails with RuntimeError.

A lost link ends every telemetry request: the client reports the failure once,
to whichever call looks first, so a request that finds nothing more to take
fails with the client's ``link_failure`` even when a command took the report.
"""

import asyncio
import collections
import os
import select
import threading
import time
from collections.abc import Callable
from typing import Any

from vyre_client import MockDeviceHandle, VYREClient

# makes the client (and the mock handle) on the worker's thread
Make = Callable[[], tuple[VYREClient, MockDeviceHandle | None]]
# takes a result whose caller went away
Orphan = Callable[[Any], object]

# How soon an idle worker notices that its event loop was closed or that the
# interpreter is shutting down.
IDLE_POLL_SECONDS = 0.1
# Shortest time between two telemetry batches handed to the loop.
HANDOVER_INTERVAL = 0.01


class Abandoned(Exception):
    """Ends a wait nobody awaits any more (never raised to a caller: a call
    cut short by closing the client raises RuntimeError)."""


class Job:
    """One call for the worker, or (with ``call`` None) one telemetry request."""

    __slots__ = ("call", "loop", "future", "orphan", "arrays", "abandoned")

    def __init__(
        self,
        call: Callable[[VYREClient, MockDeviceHandle | None], Any] | None,
        loop: asyncio.AbstractEventLoop,
        future: "asyncio.Future[Any]",
        orphan: Orphan | None = None,
        arrays: bool = False,
    ) -> None:
        self.call = call
        self.loop = loop
        self.future = future
        self.orphan = orphan  # takes a result whose caller went away
        self.arrays = arrays
        self.abandoned = False

    def abandon_if_cancelled(self, future: "asyncio.Future[Any]") -> None:
        """A done callback of the job's future: a cancelled one abandons the job."""
        if future.cancelled():
            self.abandoned = True


def _settle(job: Job, value: Any, error: BaseException | None) -> None:
    """On the loop: the job's outcome to its future, or to its orphan taker."""
    future = job.future
    if future.done():
        if error is None and job.orphan is not None and value is not None and len(value):
            job.orphan(value)
        return
    if error is not None:
        future.set_exception(error)
    else:
        future.set_result(value)


class ClientWorker:
    """Owns one VYREClient (and its mock handle, if any) on its own thread.

    ``make()`` runs on that thread and returns ``(client, handle_or_None)``;
    what it raises is what ``wait_opened``/``opened`` raise, the thread having
    ended. ``loop``: the event loop whose closing ends the worker before any
    call was made (later, the loop of the latest call). ``name``: the client
    as the RuntimeError of a call on it once closed names it.
    """

    def __init__(
        self, make: Make, loop: asyncio.AbstractEventLoop | None = None, name: str = "the asyncio client"
    ) -> None:
        self.closed_text = f"{name} is closed"
        self._jobs: collections.deque[Job] = collections.deque()
        # telemetry requests, oldest first
        self._wants: collections.deque[Job] = collections.deque()
        self._lock = threading.Lock()
        self._closing = False  # no new jobs; the thread ends after the current one
        self._current: Job | None = None  # the job running now
        self._loop = loop
        self._next_handover = 0.0  # monotonic time before which no batch goes out
        self._ended = False
        # (loop, future) settled once the thread is done
        self._on_end: list[tuple[asyncio.AbstractEventLoop, asyncio.Future[None]]] = []
        self._opened = threading.Event()
        self._open_error: BaseException | None = None
        # (loop, future) settled once the client is made
        self._on_open: list[tuple[asyncio.AbstractEventLoop, asyncio.Future[None]]] = []
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        os.set_blocking(self._wake_w, False)
        self._thread = threading.Thread(target=self._run, args=(make,), name="vyre-aio-client")
        self._thread.start()

    # ------------------------------------------------------------ loop side

    def wait_opened(self) -> None:
        """Blocks until the client is made; raises what making it raised."""
        self._opened.wait()
        if self._open_error is not None:
            self._thread.join()  # it ended right after reporting
            raise self._open_error

    def opened(self, loop: asyncio.AbstractEventLoop) -> "asyncio.Future[None]":
        """A future (on `loop`) done once the client is made, or failing as that did."""
        future: asyncio.Future[None] = loop.create_future()
        with self._lock:
            if not self._opened.is_set():
                self._on_open.append((loop, future))
                return future
        if self._open_error is not None:
            future.set_exception(self._open_error)
        else:
            future.set_result(None)
        return future

    def submit(
        self,
        call: Callable[[VYREClient, MockDeviceHandle | None], Any],
        loop: asyncio.AbstractEventLoop,
        orphan: Orphan | None = None,
    ) -> "asyncio.Future[Any]":
        """Queues ``call(client, handle)``; returns the future of its result.
        A result that comes after the future was cancelled goes to `orphan`."""
        future = loop.create_future()
        job = Job(call, loop, future, orphan)
        future.add_done_callback(job.abandon_if_cancelled)
        with self._lock:
            if self._closing:
                raise RuntimeError(self.closed_text)
            self._loop = loop
            self._jobs.append(job)
        self.wake()
        return future

    def want_batch(
        self, loop: asyncio.AbstractEventLoop, arrays: bool, orphan: Orphan
    ) -> "asyncio.Future[Any]":
        """A future for the next telemetry batch (list, or array with `arrays`);
        None once the client is closed. A batch that comes after the future
        was cancelled goes to `orphan`."""
        future = loop.create_future()
        job = Job(None, loop, future, orphan, arrays)
        future.add_done_callback(job.abandon_if_cancelled)
        with self._lock:
            if self._closing:
                future.set_result(None)
                return future
            self._loop = loop
            self._wants.append(job)
        self.wake()
        return future

    def close_soon(self) -> None:
        """Asks the thread to stop the client and end (without waiting)."""
        with self._lock:
            self._closing = True
        self.wake()

    def when_ended(self, loop: asyncio.AbstractEventLoop, future: "asyncio.Future[None]") -> None:
        """Settles `future` (on `loop`) once the thread has released the client."""
        with self._lock:
            if not self._ended:
                self._on_end.append((loop, future))
                return
        if not future.done():
            future.set_result(None)

    def join(self) -> None:
        """Collects the thread; right after `when_ended` fired, it has only to return."""
        if threading.current_thread() is not self._thread:
            self._thread.join()

    @property
    def closed(self) -> bool:
        return self._closing

    def wake(self) -> None:
        with self._lock:  # never a write to a descriptor number closed and reused
            if self._wake_w < 0:
                return
            try:
                os.write(self._wake_w, b"\0")
            except BlockingIOError:
                pass  # full: a wake-up is pending anyway

    # ---------------------------------------------------------- worker side

    def _run(self, make: Make) -> None:
        try:
            client, handle = make()
            client.release_gil = True
            if handle is not None:
                handle.release_gil = True
            client.interrupt_hook = self._interrupt
        except BaseException as error:  # raised where the client is awaited
            self._close_pipe()
            with self._lock:
                self._closing = True
            self._report_open(error)
            self._finish()
            return
        self._report_open(None)
        try:
            self._serve(client, handle)
        finally:
            client.interrupt_hook = None
            try:
                client.__exit__(None, None, None)
            except BaseException:
                pass  # a stop that fails leaves nothing more to do here
            self._refuse_pending()
            del client, handle  # released on the thread that owns them: the port closes
            self._close_pipe()
            self._finish()

    def _finish(self) -> None:
        with self._lock:
            self._ended = True
            waiting, self._on_end = self._on_end, []
        for loop, future in waiting:
            self._post(loop, _settle_plain, future)

    def _report_open(self, error: BaseException | None) -> None:
        with self._lock:
            self._open_error = error
            self._opened.set()
            waiting, self._on_open = self._on_open, []
        for loop, future in waiting:
            self._post(loop, _settle_open, future, error)

    def _serve(self, client: VYREClient, handle: MockDeviceHandle | None) -> None:
        ready_fd: int | None = None
        while not self._should_end():
            watched = [self._wake_r]
            timeout = IDLE_POLL_SECONDS
            if self._wants:
                if ready_fd is None:
                    ready_fd = client.fileno()
                early = self._next_handover - time.monotonic()
                if early > 0:
                    timeout = min(timeout, early)
                else:
                    watched.append(ready_fd)
            ready, _, _ = select.select(watched, [], [], timeout)
            self._drain_wake()
            self._run_jobs(client, handle)
            if ready_fd is not None and ready_fd in ready:
                self._hand_over(client)
            elif self._wants and client.link_failure is not None:
                self._hand_over(client)  # nothing will make the descriptor readable

    def _should_end(self) -> bool:
        if not self._closing:
            loop = self._loop
            # at interpreter exit the main thread is done before the others are
            # waited for: end then, or the exit would wait for ever
            if (loop is not None and loop.is_closed()) or not threading.main_thread().is_alive():
                self._closing = True
        return self._closing

    def _run_jobs(self, client: VYREClient, handle: MockDeviceHandle | None) -> None:
        while True:
            with self._lock:
                if not self._jobs or self._should_end():
                    return
                job = self._jobs.popleft()
            if job.abandoned:
                continue
            self._current = job
            assert job.call is not None  # only telemetry requests have none
            value: Any
            error: BaseException | None
            try:
                value, error = job.call(client, handle), None
            except Abandoned:
                # given up for a caller that went away, or because the client
                # is closing: only the latter is still awaited
                value, error = None, RuntimeError(self.closed_text)
            except BaseException as raised:
                value, error = None, raised
            finally:
                self._current = None
            self._post(job.loop, _settle, job, value, error)

    def _hand_over(self, client: VYREClient) -> None:
        with self._lock:
            while self._wants and self._wants[0].abandoned:
                self._wants.popleft()
            if not self._wants:
                return
            want = self._wants.popleft()
        batch: Any
        try:
            batch, error = (client.get_data_array() if want.arrays else client.get_data_packets()), None
        except BaseException as raised:
            batch, error = None, raised
        if error is None and not len(batch):
            # a command may have taken the report of a lost link: the
            # descriptor then stays quiet, but the client still tells
            error = client.link_failure
            if error is None:
                with self._lock:  # the descriptor woke for something else
                    self._wants.appendleft(want)
                return
            batch = None
        self._next_handover = time.monotonic() + HANDOVER_INTERVAL
        self._post(want.loop, _settle, want, batch, error)

    def _post(self, loop: asyncio.AbstractEventLoop, fn: Callable[..., object], *args: Any) -> None:
        try:
            loop.call_soon_threadsafe(fn, *args)
        except RuntimeError:  # the loop was closed: nobody is left to tell
            self._closing = True

    def current_abandoned(self) -> bool:
        """On the worker: whether the running call's caller went away."""
        job = self._current
        return (job is not None and job.abandoned) or self._should_end()

    def _interrupt(self) -> None:
        # The client's interrupt hook: runs on this thread about every 50 ms
        # while a call waits.
        if self.current_abandoned():
            raise Abandoned

    def _refuse_pending(self) -> None:
        with self._lock:
            self._closing = True
            jobs, self._jobs = list(self._jobs), collections.deque()
            wants, self._wants = list(self._wants), collections.deque()
        for job in jobs:
            self._post(job.loop, _settle, job, None, RuntimeError(self.closed_text))
        for want in wants:  # iterations end
            self._post(want.loop, _settle, want, None, None)

    def _drain_wake(self) -> None:
        try:
            while os.read(self._wake_r, 4096):
                pass
        except BlockingIOError:
            pass

    def _close_pipe(self) -> None:
        with self._lock:
            fds, self._wake_r, self._wake_w = (self._wake_r, self._wake_w), -1, -1
        for fd in fds:
            if fd >= 0:
                os.close(fd)


def _settle_plain(future: "asyncio.Future[None]") -> None:
    if not future.done():
        future.set_result(None)


def _settle_open(future: "asyncio.Future[None]", error: BaseException | None) -> None:
    if future.done():
        return
    if error is not None:
        future.set_exception(error)
    else:
        future.set_result(None)
