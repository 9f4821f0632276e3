"""vyre replay: send a mock log into the device's mock mode, with progress."""

import bisect
import os
import time
from dataclasses import dataclass

from .connection import add_device_arguments, open_device, positive_float
from .errors import EXIT_INTERRUPTED, CliError
from .interrupts import stop_on_interrupt
from .logfile import HEADER_SIZE, scan_file

# How the library paces a stream: the header frame, a settling pause, a first
# run of records back to back, then batches each followed by the logged time
# the batch spans (divided by the speed).
SETTLE_SECONDS = 0.1
UNPACED_RECORDS = 75
BATCH = 10
FRAME_OVERHEAD = 10           # header, identifier, length, CRC around each record
RECORD_FRAME_BYTES = 24       # a typical record frame (A/B 20, M 21, I 29 bytes)
POLL_SECONDS = 0.05
LINK_POLL_SECONDS = 0.01


class Schedule:
    """Estimated records sent since the stream started.

    The library reports its count only when the stream has ended, so while it
    runs the count is read off the pacing rule and capped by what the link
    can carry; the final figure is the library's own.
    """

    def __init__(self, summary, speed, realtime, baud):
        self.total = summary.records
        self.speed = speed
        self.realtime = realtime
        self.times = summary.times()
        self.bytes_per_second = baud / 10  # 8 data bits, start and stop bit
        self.batch_starts = []  # log seconds after the paced phase begins
        t = 0.0
        for k in range(UNPACED_RECORDS, self.total, BATCH):
            self.batch_starts.append(t)
            t += sum(summary.delays[k:k + BATCH])

    def sent_at(self, elapsed):
        since = elapsed - SETTLE_SECONDS
        if since < 0:
            return 0
        carried = int(since * self.bytes_per_second / RECORD_FRAME_BYTES)
        if not self.realtime:
            return min(self.total, carried)
        batches = bisect.bisect_right(self.batch_starts, since * self.speed)
        return min(self.total, UNPACED_RECORDS + batches * BATCH, carried)

    def log_time(self, sent):
        """Time on the log's clock of the ``sent``-th record."""
        return self.times[sent - 1] if sent > 0 else 0.0

    def link_seconds(self, records):
        return (HEADER_SIZE + FRAME_OVERHEAD + records * RECORD_FRAME_BYTES) / self.bytes_per_second


@dataclass
class ReplayResult:
    sent: int
    total: int
    log_seconds: float
    seconds: float
    interrupted: bool
    left_mock_mode: bool
    device_received: int | None = None  # records a simulated device counted in mock mode

    def summary(self):
        rate = self.sent / self.seconds if self.seconds > 0 else 0.0
        text = (f"replayed {self.sent} of {self.total} records "
                f"({self.log_seconds:.2f} s of log time) in {self.seconds:.2f} s, "
                f"{rate:.0f} records/s")
        if self.interrupted:
            text = "stopped by Ctrl-C: " + text
        return text


def _progress(ui):
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn
    return Progress(TextColumn("[bold]replay"), BarColumn(), MofNCompleteColumn(),
                    TextColumn("records  {task.fields[rate]:>9}  log {task.fields[log]}"),
                    TextColumn("elapsed"), TimeElapsedColumn(),
                    console=ui.console, auto_refresh=False)


def _wait_for_the_link(client, device, schedule, sent, stop, show):
    """Wait until every frame the stream queued is on the wire.

    Commands are written ahead of queued mock frames, so a cancel sent as
    soon as the stream ends could overtake frames still waiting for the
    link, and the device would take them outside mock mode."""
    deadline = time.monotonic() + device.timeout + 2 * schedule.link_seconds(sent)
    while time.monotonic() < deadline and not (stop and stop.requested):
        if client.mock_frames_waiting() == 0:
            return True
        show()
        time.sleep(LINK_POLL_SECONDS)
    return False


def replay(ui, device, path, speed=1.0, realtime=True, stop=None, baud=2_000_000):
    try:
        summary = scan_file(path)
    except ValueError as e:
        raise CliError(f"{path} is not a mock log: {e}") from None
    except OSError as e:
        raise CliError(f"cannot read {path}: {e.strerror or e}") from None
    if summary.records == 0:
        raise CliError(f"{path} holds no records to replay")
    schedule = Schedule(summary, speed, realtime, baud)
    client = device.client
    try:
        # the closing cancel is ours: the library's own would go out ahead of
        # mock frames still waiting for the link (commands are written first)
        client.start_mock_log_stream(os.fspath(path), realtime=realtime, speed=speed,
                                     start_timeout_seconds=device.timeout,
                                     cancel_on_finish=False)
    except OSError as e:
        raise CliError(f"the device on {device.port} did not start the replay: {e}") from None
    start = time.monotonic()
    interrupted = False
    with _progress(ui) as progress:
        task = progress.add_task("replay", total=summary.records, rate="", log="")

        def show(sent, now):
            elapsed = now - start
            rate = f"{sent / elapsed:.0f}/s" if elapsed > 0 else ""
            progress.update(task, completed=sent, rate=rate,
                            log=f"{schedule.log_time(sent):.2f} / {summary.log_seconds:.2f} s")
            progress.refresh()

        while client.is_mock_log_streaming():
            if stop is not None and stop.requested:
                interrupted = True
                break
            show(schedule.sent_at(time.monotonic() - start), time.monotonic())
            time.sleep(POLL_SECONDS)
        try:
            sent = client.stop_mock_log_stream(cancel_device=interrupted, block=True) or 0
        except OSError as e:
            raise CliError(f"the replay failed: {e}") from None
        if not interrupted:
            _wait_for_the_link(client, device, schedule, sent, stop,
                               lambda: show(min(sent, schedule.sent_at(time.monotonic() - start)),
                                            time.monotonic()))
        finished = time.monotonic()
        show(sent, finished)
    left = client.cancel(timeout_seconds=device.timeout)
    result = ReplayResult(sent, summary.records, schedule.log_time(sent), finished - start,
                          interrupted or bool(stop and stop.requested), left)
    if device.sim is not None:
        result.device_received = device.sim.status()["mock_records"]
    return result


def check_log_path(path):
    """A regular file: the replay reads the log twice, to plan and to send."""
    if os.path.isfile(path):
        return
    if os.path.isdir(path):
        raise CliError(f"{path} is a directory, not a mock log file")
    if os.path.exists(path):
        raise CliError(f"{path} is not a regular file; the replay reads a mock log file twice")
    raise CliError(f"no such log file: {path}")


def add_parser(sub):
    p = sub.add_parser("replay", help="replay a mock log into the device's mock mode",
                       description="Replay a mock log file into the device's mock mode, paced "
                                   "by the log's timestamps (or as fast as the link carries it "
                                   "with --no-realtime). Ctrl-C stops the replay and ends mock "
                                   "mode.")
    p.add_argument("log", metavar="LOG", help="mock log file")
    p.add_argument("-s", "--speed", type=positive_float, default=1.0,
                   help="replay this many times faster than logged (default 1)")
    p.add_argument("--no-realtime", dest="realtime", action="store_false",
                   help="send as fast as possible, ignoring the log's timing")
    add_device_arguments(p)
    p.set_defaults(run=run)


def run(args):
    from .console import Ui
    ui = Ui()
    check_log_path(args.log)
    with stop_on_interrupt() as stop, open_device(args, ui) as device:
        result = replay(ui, device, args.log, args.speed, args.realtime, stop, args.baud)
    ui.line(result.summary())
    if result.device_received is not None:
        ui.line(f"the simulated device received {result.device_received} records in mock mode")
    if not result.left_mock_mode:
        raise CliError(f"the device on {device.port} did not confirm leaving mock mode")
    ui.line("the device left mock mode")
    if result.interrupted:
        return EXIT_INTERRUPTED
    if result.sent != result.total:
        raise CliError(f"the replay sent {result.sent} of {result.total} records")
    return 0
