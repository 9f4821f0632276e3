"""Replaying a mock log into the device's mock mode, and telling the truth
about how far it got.

The library's stream thread only queues the log's frames; the reader thread
writes them to the port as the link takes them, and writes commands ahead
of mock frames still queued. So a replay has reached its end only once every
frame has left the host (``mock_frames_waiting()`` is 0), and its closing
cancel is sent only then, or after what is still queued has been thrown
away (by stopping and restarting the client): either way it goes last.

A device that takes no data for ``stall_seconds`` fails the replay with the
count of records that did leave; so does a link that fails. A stop asked
for ends the stream; frames already queued still go out (the link takes
about 8,000 records a second) before the cancel.

The steps are written once (see ``device_calls``) and run on a
``VYREClient`` (:func:`replay`) or on an ``AsyncVYREClient``
(:func:`replay_async`, for the control center)::

    plan = replay_plan("flight.log", speed=2.0)
    result = replay(client, plan, on_progress=lambda p: print(p.left_host, "of", p.total))
    if result.verdict != "complete":
        print(result.summary())
"""

import bisect
import os
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, Literal

from ..stopping import Stop, stop_test
from .device_calls import Pause, Steps, call, run, run_async
from .log_summary import LogSummary, scan_file

# How the library paces a stream: the header frame, a settling pause, a first
# run of records back to back, then batches each followed by the logged time
# the batch spans (divided by the speed).
SETTLE_SECONDS = 0.1
UNPACED_RECORDS = 75
BATCH = 10
POLL_SECONDS = 0.05
LINK_POLL_SECONDS = 0.01

Verdict = Literal["complete", "stopped", "failed"]
Phase = Literal["streaming", "draining", "ending"]


class ReplayError(Exception):
    """A replay that could not begin (nothing was sent): a file that is no
    mock log or holds no records, a device that refused mock mode."""


@dataclass
class ReplayPlan:
    """A log to replay, how fast, and what its stream will queue when."""

    path: str
    summary: LogSummary = field(repr=False)
    speed: float = 1.0
    realtime: bool = True
    _times: list[float] = field(init=False, repr=False)
    _batch_starts: list[float] = field(init=False, repr=False)  # log seconds into the paced phase

    def __post_init__(self) -> None:
        if not self.speed > 0 or self.speed == float("inf"):
            raise ReplayError(f"the speed must be a positive number, got {self.speed!r}")
        self._times = self.summary.times()
        self._batch_starts, t = [], 0.0
        for k in range(UNPACED_RECORDS, self.total, BATCH):
            self._batch_starts.append(t)
            t += sum(self.summary.delays[k : k + BATCH])

    @property
    def total(self) -> int:
        return self.summary.records

    @property
    def log_seconds(self) -> float:
        return self.summary.log_seconds

    def queued_at(self, elapsed: float) -> int:
        """Records the stream has queued ``elapsed`` seconds after it began,
        by the library's pacing rule."""
        since = elapsed - SETTLE_SECONDS
        if since < 0:
            return 0
        if not self.realtime:
            return self.total
        batches = bisect.bisect_right(self._batch_starts, since * self.speed)
        return min(self.total, UNPACED_RECORDS + batches * BATCH)

    def log_time(self, records: int) -> float:
        """Time on the log's clock of the ``records``-th record."""
        return self._times[min(records, len(self._times)) - 1] if records > 0 else 0.0


def replay_plan(path: str | os.PathLike[str], speed: float = 1.0, realtime: bool = True) -> ReplayPlan:
    """The plan to replay the mock log at ``path``; ReplayError for a file
    that cannot be read, is no mock log or holds no records."""
    path = os.fspath(path)
    if os.path.isdir(path):
        raise ReplayError(f"{path} is a directory, not a mock log file")
    if os.path.exists(path) and not os.path.isfile(path):
        raise ReplayError(f"{path} is not a regular file; the replay reads a mock log file twice")
    try:
        summary = scan_file(path)
    except FileNotFoundError:
        raise ReplayError(f"no such log file: {path}") from None
    except ValueError as e:
        raise ReplayError(f"{path} is not a mock log: {e}") from None
    except OSError as e:
        raise ReplayError(f"cannot read {path}: {e.strerror or e}") from None
    if summary.records == 0:
        raise ReplayError(f"{path} holds no records to replay")
    return ReplayPlan(path, summary, speed, realtime)


@dataclass(frozen=True)
class ReplayProgress:
    # "streaming"; "draining" (the stream is done, frames still leave); "ending"
    # (once, before the device is told to leave mock mode)
    phase: Phase
    left_host: int  # records that left the host (read off the log's pace while streaming)
    total: int
    log_seconds: float  # the log's time of the last record that left
    seconds: float  # since the stream began
    failure: str | None = None  # when "ending": why not every record left, if so


@dataclass(frozen=True)
class ReplayResult:
    total: int
    queued: int | None  # records the stream queued (None: it failed before telling)
    left_host: int | None  # records that left the host before the closing cancel
    dropped: int  # frames still queued when the device stalled, thrown away
    log_seconds: float  # the log's time of the last record that left
    seconds: float  # from the start of the stream to the last frame out
    stopped: bool  # a stop was asked for
    left_mock_mode: bool  # the device acknowledged the closing cancel
    failure: str | None  # why the records did not all leave, if they did not

    @property
    def verdict(self) -> Verdict:
        """The outcome: "complete" when every record left the host and the
        device left mock mode; "stopped" when a stop was asked for and
        nothing failed; "failed" otherwise (see :attr:`problem`)."""
        if self.failure is not None or not self.left_mock_mode:
            return "failed"
        if self.stopped or self.left_host != self.total:
            return "stopped"
        return "complete"

    @property
    def problem(self) -> str | None:
        """What went wrong, as one line; None for a replay that did not fail."""
        if self.verdict != "failed":
            return None
        if self.failure is None:
            return "the device did not confirm leaving mock mode"
        if self.left_host is None:
            return self.failure
        # a write cut short by the drop may have carried a few frames more
        least = "at least " if self.dropped else ""
        return f"{self.failure}: {least}{self.left_host} of {self.total} records left the host"

    def summary(self) -> str:
        count = "?" if self.left_host is None else str(self.left_host)
        rate = (self.left_host or 0) / self.seconds if self.seconds > 0 else 0.0
        return (
            f"replayed {count} of {self.total} records ({self.log_seconds:.2f} s of log "
            f"time) in {self.seconds:.2f} s, {rate:.0f} records/s"
        )


class _StallWatch:
    """Whether the frames waiting for the link have stopped leaving: their
    count has not fallen (nor been 0) for ``limit`` seconds."""

    def __init__(self, limit: float) -> None:
        self.limit = limit
        self.text = f"the device took no data for {limit:g} s"
        self.gave_up = False
        self._last: int | None = None
        self._moved_at = time.monotonic()

    def stalled(self, waiting: int) -> bool:
        now = time.monotonic()
        if self._last is None or waiting == 0 or waiting < self._last:
            self._moved_at = now
        self._last = waiting
        self.gave_up = now - self._moved_at >= self.limit
        return self.gave_up


def _steps(
    plan: ReplayPlan,
    timeout: float,
    stall_seconds: float,
    stopped: Callable[[], bool],
    on_progress: Callable[[ReplayProgress], object] | None,
) -> Steps[ReplayResult]:
    """The replay as the calls it makes; the result is the generator's value."""
    began = time.monotonic()

    def report(phase: Phase, left: int, failure: str | None = None) -> None:
        if on_progress is not None:
            left = max(0, min(plan.total, left))
            on_progress(
                ReplayProgress(
                    phase, left, plan.total, plan.log_time(left), time.monotonic() - began, failure
                )
            )

    try:
        # the closing cancel is ours: the library's would overtake queued frames
        yield call(
            "start_mock_log_stream",
            plan.path,
            realtime=plan.realtime,
            speed=plan.speed,
            start_timeout_seconds=timeout,
            cancel_on_finish=False,
        )
    except OSError as e:
        raise ReplayError(f"the device did not start the replay: {e}") from None
    began = time.monotonic()
    stop_asked = False
    failure = None
    watch = _StallWatch(stall_seconds)
    while (yield call("is_mock_log_streaming")):
        if stopped():
            stop_asked = True
            break
        waiting = yield call("mock_frames_waiting")
        if watch.stalled(waiting):  # a paced stream would go on queuing for nobody
            failure = watch.text
            break
        report("streaming", plan.queued_at(time.monotonic() - began) - waiting)
        yield Pause(POLL_SECONDS)

    queued: int | None = None
    try:
        queued = (yield call("stop_mock_log_stream", cancel_device=False, block=True)) or 0
    except OSError as e:
        failure = failure or f"the replay failed: {e}"
    if failure is None and not stop_asked and queued != plan.total:
        failure = f"the stream ended after {queued} of {plan.total} records"

    # every queued frame out, or the device stalls, or the link fails
    waiting = yield call("mock_frames_waiting")
    while waiting and not watch.gave_up:
        if not (yield call("is_running")):
            try:
                yield call("ensure_ok")
                reason = "the client stopped"
            except OSError as e:
                reason = str(e)
            failure = failure or f"the link to the device failed: {reason}"
            break
        if watch.stalled(waiting):
            failure = failure or watch.text
            break
        if queued is not None:
            report("draining", queued - waiting)
        yield Pause(LINK_POLL_SECONDS)
        waiting = yield call("mock_frames_waiting")
    finished = time.monotonic()
    left_host = None if queued is None else max(0, queued - waiting)

    left_mock_mode = False
    try:
        if waiting:
            # what never left is dropped, so that the cancel goes last
            yield call("stop")
            yield call("start")
        report("ending", left_host or 0, failure)
        left_mock_mode = bool((yield call("cancel", timeout_seconds=timeout)))
    except OSError as e:
        failure = failure or f"the device could not be told to leave mock mode: {e}"
    return ReplayResult(
        plan.total,
        queued,
        left_host,
        waiting,
        plan.log_time(left_host or 0),
        finished - began,
        stop_asked or stopped(),
        left_mock_mode,
        failure,
    )


def replay(
    client: Any,
    plan: ReplayPlan,
    *,
    timeout: float = 5.0,
    stall_seconds: float | None = None,
    stop: Stop = None,
    on_progress: Callable[[ReplayProgress], object] | None = None,
) -> ReplayResult:
    """Replays ``plan`` on a started ``VYREClient`` (or anything with its
    methods) and returns once the device was told to leave mock mode.

    Args:
        timeout: seconds to wait for the device's acknowledgements (of mock
            mode, of the closing cancel).
        stall_seconds: how long the device may take no data before the
            replay fails (default: ``timeout``).
        stop: ends the stream early (see ``vyre_tools.stopping``); the
            result's verdict is then "stopped".
        on_progress: told a :class:`ReplayProgress` about twenty times a
            second while the replay runs.

    Raises:
        ReplayError: the device did not enter mock mode (nothing was sent).
    """
    return run(
        _steps(
            plan, timeout, timeout if stall_seconds is None else stall_seconds, stop_test(stop), on_progress
        ),
        client,
    )


async def replay_async(
    client: Any,
    plan: ReplayPlan,
    *,
    timeout: float = 5.0,
    stall_seconds: float | None = None,
    stop: Stop = None,
    on_progress: Callable[[ReplayProgress], object] | None = None,
) -> ReplayResult:
    """:func:`replay` on an ``AsyncVYREClient``: the same steps, each call
    awaited, the event loop free between them. Cancelling the task leaves
    the device in mock mode; ask ``stop`` instead to end a replay."""
    return await run_async(
        _steps(
            plan, timeout, timeout if stall_seconds is None else stall_seconds, stop_test(stop), on_progress
        ),
        client,
    )
