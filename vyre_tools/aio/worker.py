"""The thread behind an asyncio client.

A ``VYREClient`` belongs to the thread that made it, and its waits block that
thread. So the asyncio client keeps its ``VYREClient`` (and the mock handle)
on a thread of its own, which runs the calls the event loop hands it one at a
time with the interpreter lock released while they wait, and between calls
sleeps in ``select`` on the client's ready descriptor and a wake-up pipe,
passing telemetry batches to the loop as they come.

A call whose caller went away (its task was cancelled, or the loop closed)
is given up through the client's interrupt hook within about 50 ms.
"""

import collections
import os
import select
import threading
import weakref

from vyre_client import VYREClient

# How soon an idle worker notices that its event loop was closed.
IDLE_POLL_SECONDS = 0.1
CLOSED_TEXT = "the asyncio client is closed"


# Workers whose thread may still run. At interpreter exit they are closed
# before the interpreter waits for its threads, which it would do forever.
_live = weakref.WeakSet()


def _close_all():
    workers = list(_live)
    for worker in workers:
        worker.close_soon()
    for worker in workers:
        worker.join()


threading._register_atexit(_close_all)


class Abandoned(Exception):
    """Ends a wait nobody awaits any more."""


class Job:
    __slots__ = ("call", "loop", "future", "abandoned")

    def __init__(self, call, loop, future):
        self.call = call
        self.loop = loop
        self.future = future
        self.abandoned = False

    def abandon(self, _future=None):
        self.abandoned = True


def _settle(future, value, error):
    if future.done():
        return
    if error is not None:
        future.set_exception(error)
    else:
        future.set_result(value)


class ClientWorker:
    """Owns one VYREClient (and its mock handle, if any) on its own thread.

    ``make()`` runs on that thread and returns ``(client, handle_or_None)``;
    what it raises is raised by the constructor, with no thread left behind.
    """

    def __init__(self, make):
        self._jobs = collections.deque()
        self._lock = threading.Lock()
        self._closing = False      # no new jobs; the thread ends after the current one
        self._current = None       # the job running now
        self._loop = None          # the event loop of the latest call
        self.stream = None         # (loop, sink, arrays) while a consumer wants batches
        self._ended = False
        self._on_end = []          # (loop, future) settled once the thread is done
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        os.set_blocking(self._wake_w, False)
        made, outcome = threading.Event(), []
        self._thread = threading.Thread(target=self._run, args=(make, made, outcome),
                                        name="vyre-aio-client")
        self._thread.start()
        _live.add(self)
        made.wait()
        if outcome[0] is not None:
            self._thread.join()
            self._close_pipe()
            raise outcome[0]

    # ------------------------------------------------------------ loop side

    def submit(self, call, loop):
        """Queues ``call(client, handle)``; returns the future of its result."""
        future = loop.create_future()
        job = Job(call, loop, future)
        future.add_done_callback(lambda f: f.cancelled() and job.abandon())
        with self._lock:
            if self._closing:
                raise RuntimeError(CLOSED_TEXT)
            self._loop = loop
            self._jobs.append(job)
        self.wake()
        return future

    def close_soon(self):
        """Asks the thread to stop the client and end (without waiting)."""
        with self._lock:
            self._closing = True
        self.wake()

    def when_ended(self, loop, future):
        """Settles `future` (on `loop`) once the thread has released the client."""
        with self._lock:
            if not self._ended:
                self._on_end.append((loop, future))
                return
        _settle(future, None, None)

    def join(self):
        if threading.current_thread() is not self._thread:
            self._thread.join()

    def close(self):
        """Closes and waits for the thread (for a client dropped unclosed)."""
        self.close_soon()
        self.join()

    @property
    def closed(self):
        return self._closing

    def wake(self):
        with self._lock:  # never a write to a descriptor number closed and reused
            if self._wake_w < 0:
                return
            try:
                os.write(self._wake_w, b"\0")
            except BlockingIOError:
                pass  # full: a wake-up is pending anyway

    # ---------------------------------------------------------- worker side

    def _run(self, make, made, outcome):
        try:
            client, handle = make()
            client.release_gil = True
            if handle is not None:
                handle.release_gil = True
            client.interrupt_hook = self._interrupt
        except BaseException as error:  # reported by the constructor
            outcome.append(error)
            made.set()
            return
        outcome.append(None)
        made.set()
        try:
            self._serve(client, handle)
        finally:
            client.interrupt_hook = None
            try:
                client.__exit__(None, None, None)
            except BaseException:
                pass  # a stop that fails leaves nothing more to do here
            self._refuse_pending()
            del client, handle  # released on the thread that owns them
            self._close_pipe()
            with self._lock:
                self._ended = True
                waiting, self._on_end = self._on_end, []
            for loop, future in waiting:
                self._post(loop, _settle, future, None, None)

    def _serve(self, client, handle):
        ready_fd = None
        while not self._should_end():
            watched = [self._wake_r]
            if self.stream is not None:
                if ready_fd is None:
                    ready_fd = client.fileno()
                watched.append(ready_fd)
            ready, _, _ = select.select(watched, [], [], IDLE_POLL_SECONDS)
            self._drain_wake()
            self._run_jobs(client, handle)
            if ready_fd in ready and self.stream is not None:
                self._deliver(client)

    def _should_end(self):
        loop = self._loop
        if loop is not None and loop.is_closed():
            self._closing = True
        return self._closing

    def _run_jobs(self, client, handle):
        while True:
            with self._lock:
                if not self._jobs or self._should_end():
                    return
                job = self._jobs.popleft()
            if job.abandoned:
                continue
            self._current = job
            try:
                value, error = job.call(client, handle), None
            except BaseException as raised:
                value, error = None, raised
            finally:
                self._current = None
            self._post(job.loop, _settle, job.future, value, error)

    def _deliver(self, client):
        loop, sink, arrays = self.stream
        try:
            batch = client.get_data_array() if arrays else client.get_data_packets()
        except BaseException as error:
            self.stream = None
            self._post(loop, sink, None, error)
            return
        if len(batch):
            self._post(loop, sink, batch, None)

    def _post(self, loop, fn, *args):
        try:
            loop.call_soon_threadsafe(fn, *args)
        except RuntimeError:  # the loop was closed: nobody is left to tell
            self._closing = True

    def current_abandoned(self):
        """On the worker: whether the running call's caller went away."""
        job = self._current
        return (job is not None and job.abandoned) or self._should_end()

    def _interrupt(self):
        # The client's interrupt hook: runs on this thread about every 50 ms
        # while a call waits.
        if self.current_abandoned():
            raise Abandoned

    def _refuse_pending(self):
        with self._lock:
            self._closing = True
            jobs, self._jobs = list(self._jobs), collections.deque()
        for job in jobs:
            self._post(job.loop, _settle, job.future, None, RuntimeError(CLOSED_TEXT))

    def _drain_wake(self):
        try:
            while os.read(self._wake_r, 4096):
                pass
        except BlockingIOError:
            pass

    def _close_pipe(self):
        with self._lock:
            fds, self._wake_r, self._wake_w = (self._wake_r, self._wake_w), -1, -1
        for fd in fds:
            os.close(fd)
