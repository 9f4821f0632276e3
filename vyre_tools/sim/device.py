"""A simulated device on a pseudo-terminal.

The device side of the link is the pty master; the client opens the slave by
its path (``port_name``) exactly as it would open a serial adapter.  One
thread owns the master: it reads and answers commands, sends telemetry,
injects faults and keeps the counters.  Other threads reach it only through
requests that the device thread runs between two turns of its loop, so no
device state is touched by two threads.
"""

import heapq
import math
import os
import select
import struct
import threading
import time
import traceback
from collections.abc import Sequence
from typing import Any, Self

from .. import protocol as p
from ..stable_links import StableLink
from .cable import Cable
from .clientview import ClientView
from .controls import Controls
from .delivery import Delivery
from .faults import FaultInjector
from .firmware import Firmware
from .intake import CommandIntake, Frame
from .lockwatch import LockWatch
from .mockmode import MockRecorder
from .motion import SensorModel
from .options import resolve
from .output import OutputQueue
from .portclaim import ClaimWatch
from .process import SimulatorProcess
from .telemetry import TelemetrySource
from .thread_requests import ThreadRequests
from .waiting import StatusWaiter

HELD_FRAMES_MAX = 4096  # frames the device buffers while it reboots
# The longest sleep of the device thread: a stall much longer than this is
# someone holding the interpreter lock (see lockwatch).
LONGEST_SLEEP = 0.1


class Simulator(Controls, Cable, ThreadRequests, StatusWaiter):
    """Plays the device on a pseudo-terminal from its own thread.

    ``Simulator(**options)`` opens the pty and starts at once; ``port_name`` is
    the path a client opens.  ``close()`` (or leaving a ``with`` block) stops
    it.  Options are listed in ``vyre_tools.sim.options.OPTIONS``.

    A client waiting for an answer holds the interpreter lock unless its
    ``release_gil`` is set (``vyre_tools.aio`` sets it), so a device in the
    client's own process could not answer; use :meth:`spawn` there, or set
    the client's ``release_gil``.  A simulator that finds its thread was
    kept from running that way by a client of this process hangs up for
    good (the client's calls then fail at once) and raises SimulatorError,
    saying so, from its next method call or from :meth:`close`.
    """

    port_name: str
    """The pseudo-terminal's path: what a client opens."""

    def __init__(self, **options: Any) -> None:
        self.options = o = resolve(options)
        self._stopping = False
        self._failure: str | None = None
        self._hung_up = False

        self._master = self._slave = self._wake_r = self._wake_w = -1
        try:
            self._init_requests()
            self._open_pty()
            self._link = StableLink(o["link_dir"], o["device_id"])
            self._link.point_to(self.port_name)
        except BaseException:
            self._close_fds()
            raise
        # The slave stays open here for the simulator's whole life.  When the
        # last slave descriptor closes, Linux hangs the pty up: reads on the
        # master fail with EIO, and what the device writes while no client
        # has the port open is lost.  Holding one slave descriptor keeps the
        # link up across a client's close and reopen, like a serial adapter
        # that stays plugged in.  It also keeps a killed client's exclusive
        # claim alive, which the claim watch then clears.
        self._claims = ClaimWatch(self._slave)

        now = time.monotonic()
        self._model = SensorModel(o)
        self._telemetry = TelemetrySource(
            self._model, o["rate"], o["unthrottled"], now, o["clock_offset"], o["clock_drift_ppm"]
        )
        self._delivery = Delivery(o["seed"] + 2, o["burst_max"], o["late_rate"], o["late_min"], o["late_max"])
        self._imu_truth: int | None = None
        if o["imu_truth_log"]:
            self._imu_truth = os.open(
                o["imu_truth_log"], os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o644
            )
        self._truth: int | None = None
        if o["truth_log"]:
            self._truth = os.open(
                o["truth_log"], os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o644
            )
        self._faults = FaultInjector(
            o["seed"] + 1,
            o["noise"],
            o["noise_max_len"],
            o["corrupt_rate"],
            o["false_header"],
            o["false_header_max_len"],
            o["cut_rate"],
            o["stray"],
            o["noise_header_share"],
        )
        self._out = OutputQueue()
        self._mock = MockRecorder(o["max_mock_records"])
        self._firmware = Firmware(o, self._mock, self)
        self._intake = CommandIntake(o["partial_frame_wait"])
        self._answer_delay = o["answer_delay"]
        self._delayed = []
        self._delayed_seq = 0
        self._rebooting_until: float | None = None
        self._held_frames: list[Frame] = []  # frames that came in during a reboot
        self._unplugged_until = None
        self._replug_due = now + o["replug_after"] if o["replug_after"] > 0 else None
        self._replugs = 0
        self._replugged_at = None
        self._reset_counters()

        self._thread = threading.Thread(target=self._run, name="vyre-sim-device", daemon=True)
        self._thread.start()

    # ---------------------------------------------------------------- public

    @classmethod
    def spawn(cls, **options: Any) -> SimulatorProcess:
        """Start a simulator in a child process and return its handle
        (:class:`vyre_tools.sim.process.SimulatorProcess`).  The child runs
        in a session of its own, so a Ctrl-C at the script's terminal leaves
        the device up, as it would real hardware; it stops with the handle's
        ``close()`` or when this process ends."""
        return SimulatorProcess(**options)

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Stop the device thread and release the pty.  Raises SimulatorError
        when a client of this process was refused (see the class) and no
        call has said so yet."""
        if self._thread.is_alive():
            self._stopping = True
            self._wake()
            self._thread.join()
        self._close_fds()
        for fd in (self._truth, self._imu_truth):
            if fd is not None:
                os.close(fd)
        self._truth = self._imu_truth = None
        self._tell_refusal()

    def status(self) -> dict[str, Any]:
        """Counters and settings as a JSON-friendly dict."""
        return self._request(self._snapshot)

    def mock_records(self, start: int = 0) -> list[list[Any]]:
        """Kept mock records from index ``start`` on, each
        ``[type letter, u32 log timestamp, arrival time]``, the arrival on the
        system's monotonic clock (``time.monotonic()`` of any process)."""
        return self._request(lambda: [list(r) for r in self._mock.records[start:]])

    # ------------------------------------------- used by the firmware model

    def set_frequency(self, frequency: float, now: float) -> None:
        self._telemetry.set_rate(float(frequency), now)

    def reboot(self, now: float) -> None:
        self._rebooting_until = now + self.options["reboot_seconds"]
        self._telemetry.reboot(now)
        self._delayed.clear()
        self._delivery.clear()

    def set_mag_calibration(self, offsets: Sequence[float], matrix: Sequence[float]) -> None:
        self._model.mag_offsets = tuple(offsets)
        self._model.mag_matrix = tuple(matrix)
        self._telemetry.readings_changed()

    def set_imu_calibration(self, values: Sequence[float], now: float) -> None:
        self._model.imu.set_calibration(values)
        if self._model.poses is not None and self._model.imu.neutral:
            self._model.poses.start(now - self._telemetry.t0)
        self._telemetry.readings_changed()

    # ------------------------------------------------------------- plumbing

    def _reset_counters(self) -> None:
        self._out.reset_counters()
        self._mock.reset_counters()
        self._firmware.reset_counters()
        self._telemetry.dropped = 0
        self._frames_lost_rebooting = 0
        self._bytes_received = 0
        self._claims.cleared = 0
        reader = self._intake.reader
        reader.bad_crc = reader.oversized = reader.skipped_bytes = 0
        if self.options["client_view"]:
            self._out.watch = ClientView(self.options["client_quiet"])
        self._counters_since = time.monotonic()

    def _snapshot(self) -> dict[str, Any]:
        now = time.monotonic()
        t, m = self._telemetry, self._model
        s = {
            "port_name": self.port_name,
            "time": now,
            "counters_since": self._counters_since,
            "uptime": now - t.boot,
            "running": self._thread.is_alive() and not self._hung_up,
            "hung_up": self._hung_up,
            "unplugged": self._unplugged_until is not None,
            "link": self._link.path,
            "replugs": self._replugs,
            # on the system's monotonic clock, as "time"
            "replugged_at": self._replugged_at,
            "failure": self._failure,
            "rebooting": self._rebooting_until is not None,
            "rate": t.rate,
            "unthrottled": t.unthrottled,
            "telemetry_dropped": t.dropped,
            "last_timestamp": t.last_ts if t.last_ts > -math.inf else None,
            "answer_delay": self._answer_delay,
            "delayed_responses": len(self._delayed),
            "noise": self._faults.noise,
            "noise_max_len": self._faults.noise_max_len,
            "noise_header_share": self._faults.noise_header_share,
            "corrupt_rate": self._faults.corrupt_rate,
            "false_header": self._faults.false_header,
            "false_header_max_len": self._faults.false_header_max_len,
            "cut_rate": self._faults.cut_rate,
            "stray": self._faults.stray,
            # what a client's link_statistics() must show (see clientview), or None
            "client_view": self._out.watch.stats(now) if self._out.watch else None,
            "bytes_received": self._bytes_received,
            "bad_frames": self._intake.reader.bad_crc,
            "oversized_frames": self._intake.reader.oversized,
            "skipped_bytes": self._intake.reader.skipped_bytes,
            "frames_lost_rebooting": self._frames_lost_rebooting,
            "claims_cleared": self._claims.cleared,
            "hard_iron": list(m.hard_iron),
            "soft_iron": list(m.soft_iron),
            "field_ref": list(m.field_ref),
            # raw = matrix·true + bias, for the accelerometer and the gyroscope
            "imu_truth": m.imu.truth(),
        }
        s.update(self._out.stats())
        s.update(self._firmware.stats())
        s.update(self._mock.stats())
        return s

    # ----------------------------------------------------------- main loop

    def _run(self) -> None:
        poller = select.poll()
        poller.register(self._wake_r, select.POLLIN)
        watched: int | None = None
        watching: int | None = None
        lock_watch = LockWatch()
        try:
            while not self._stopping:
                self._serve_requests()
                if self._hung_up or self._stopping:
                    break
                now = time.monotonic()
                self._replug_when_due(now)
                if watched is not None and watched != self._master:
                    poller.unregister(watched)  # closed by an unplug
                    watched = watching = None
                if self._master >= 0:
                    self._tick(now)
                    self._claims.check(now)
                    self._out.write_to(self._master, time.monotonic())
                    # keep reading while rebooting too: a host whose writes are
                    # not taken would block in write once the pty fills
                    want = select.POLLIN | (select.POLLOUT if len(self._out) else 0)
                    if want != watching:
                        poller.register(self._master, want)
                        watched, watching = self._master, want
                timeout = self._next_wakeup(time.monotonic())
                ready = poller.poll(math.ceil(timeout * 1000))
                held = lock_watch.held(timeout, self.port_name, self._slave)
                if held is not None:
                    self._refuse(held)
                    break
                for fd, _ in ready:
                    if fd == self._wake_r:
                        self._drain_wake()
                    else:
                        self._read_in()
        except BaseException:
            self._failure = traceback.format_exc()
        finally:
            # serve what was asked while we were leaving; later requests
            # run on the caller's side
            self._serve_requests()

    def _refuse(self, held: float) -> None:
        # answering now would hand the next call a late answer: hang up, so
        # that the client's calls fail at once instead of timing out
        self._refusal = (
            f"a client in this process kept the simulated device on {self.port_name} from "
            f"answering for {held:.1f} s: it held the interpreter lock while it waited, and "
            "the simulator runs on a thread of the same process. The device has hung up. "
            "Set the client's release_gil = True, or start the simulator in a process of "
            "its own with Simulator.spawn()"
        )
        self._do_hang_up()

    def _next_wakeup(self, now: float) -> float:
        times: list[float] = []
        if self._replug_due is not None:
            times.append(self._replug_due - now)
        if self._unplugged_until is not None:
            times.append(self._unplugged_until - now)
        elif self._rebooting_until is not None:
            times.append(self._rebooting_until - now)
        else:
            due = self._telemetry.next_due(now, len(self._out))
            if due is not None:
                times.append(due)
        if self._delayed:
            times.append(self._delayed[0][0] - now)
        leave = self._delivery.next_release()
        if leave is not None:
            times.append(leave - now)
        if self._claims.enabled:
            times.append(self._claims.next_check - now)
        give_up = self._intake.give_up_in(now)
        if give_up is not None:
            times.append(give_up)
        return min(LONGEST_SLEEP, max(0.0, min(times, default=LONGEST_SLEEP)))

    def _tick(self, now: float) -> None:
        if self._rebooting_until is not None:
            if now < self._rebooting_until:
                return
            self._rebooting_until = None
            self._telemetry.restart(now)
            held, self._held_frames = self._held_frames, []
            self._handle_frames(held, now)
            if self._rebooting_until is not None:
                return
        while self._delayed and self._delayed[0][0] <= now:
            _, _, ident, frame = heapq.heappop(self._delayed)
            self._faults.queue_response(self._out, ident, frame)
        self._handle_frames(self._intake.give_up_when_quiet(now), now)
        frames = self._telemetry.frames(now, self._out.pending_bytes, self.options["max_backlog"])
        if frames and self._truth is not None:
            self._log_truth(self._truth, frames)
        if self._model.truth:
            self._log_imu_truth()
        if self._delivery.active and not self._telemetry.unthrottled:
            self._delivery.push(frames, self._telemetry.due_times)
            frames = self._delivery.release(now)
        if frames:
            self._faults.queue_telemetry(self._out, frames)

    def _log_truth(self, fd: int, frames: Sequence[bytes]) -> None:
        # the monotonic due times on time.time()'s clock, as the client's
        # receive times are
        to_wall = time.time() - time.monotonic()
        due = self._telemetry.due_times
        out = bytearray()
        for frame, tk in zip(frames, due):
            out += frame[p.HEAD_SIZE : p.HEAD_SIZE + 8] + struct.pack("<d", tk + to_wall)
        os.write(fd, out)

    def _log_imu_truth(self) -> None:
        assert self._model.truth is not None and self._imu_truth is not None
        rows, self._model.truth[:] = list(self._model.truth), []
        os.write(self._imu_truth, b"".join(struct.pack("<7d", *row) for row in rows))

    def _read_in(self) -> None:
        try:
            data = os.read(self._master, 65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            # only possible once no slave is open, i.e. while closing
            time.sleep(0.01)
            return
        if data:
            self._bytes_received += len(data)
            now = time.monotonic()
            self._handle_frames(self._intake.feed(data, now), now)

    def _handle_frames(self, frames: Sequence[Frame], now: float) -> None:
        for i, (header, ident, payload) in enumerate(frames):
            if self._rebooting_until is not None:
                # the rest waits in the device's receive buffer until it is
                # up; what does not fit is lost
                rest = frames[i:]
                room = HELD_FRAMES_MAX - len(self._held_frames)
                self._held_frames.extend(rest[:room])
                self._frames_lost_rebooting += max(0, len(rest) - room)
                return
            if header == p.MOCK_HEADER:
                self._mock.frame(ident, payload, now)
                continue
            answer = self._firmware.command(ident, payload, now)
            if answer is None:
                continue
            frame = p.build_frame(p.RESPONSE_HEADER, ident, answer)
            if self._answer_delay > 0:
                self._delayed_seq += 1
                heapq.heappush(self._delayed, (now + self._answer_delay, self._delayed_seq, ident, frame))
            else:
                self._faults.queue_response(self._out, ident, frame)
