"""Host-side client for VYRE inertial and barometric sensor devices.

A :class:`VYREClient` opens the device's serial port (2,000,000 baud by
default); once started, a background reader thread cuts the device's byte
stream into CRC-checked frames, decodes telemetry into
:class:`VYREDataPacket` objects (adding the rotated acceleration, a tilt angle
and a Mach number computed on the host) and hands command answers to the call
that waits for them.

Rules that hold for the whole module:

* Units are in the names: ``pressure_pascals``, ``raw_angular_rate_x_deg_per_s``,
  ``timeout_seconds``. Every time is in seconds, as a float (ints accepted).
  ``raw_`` marks measured values, ``est_`` values the device estimates.
* A command that gets no answer in time is not an error: getters return
  ``None``, setters and :meth:`VYREClient.cancel` return ``False``.
* Failures of the link and of the background work are raised as
  :class:`OSError` carrying a text, its class telling what happened: a lost
  link is a :class:`ConnectionResetError`, a wait that had to succeed and ran
  out a :class:`TimeoutError`, a missing port or file a
  :class:`FileNotFoundError`; ``errno`` holds the system's error number when
  the system gave one (the text stays as documented, without "[Errno n]").
* Internal faults (a negative or NaN time-out, a call from a foreign thread)
  raise ``InternalFaultError``, which derives from :class:`BaseException`, not
  :class:`Exception`. It is not an attribute of this module: catch it through
  ``BaseException`` (an ``except Exception`` lets it through).
* A client and its mock handle belong to the thread that created them. By
  default a call that waits (a command, a blocking packet wait, a
  calibration's collection time) holds the interpreter lock for its whole
  wait, so other Python threads do not run meanwhile; with
  ``client.release_gil = True`` (or :meth:`VYREClient.set_default_release_gil`)
  the waits let them run. The library's own threads never need the lock.
  Waits check for signals about every 50 ms, so Ctrl-C ends them with
  :class:`KeyboardInterrupt`; ``interrupt_hook`` ends them from other
  threads. :meth:`VYREClient.fileno` lets ``selectors``, asyncio or a GUI
  wait for packets instead (``vyre_tools.aio`` is a ready asyncio client).
* The library writes no log. Its only output is the calibration report of
  :meth:`VYREClient.run_and_apply_magnetometer_calibration` (which
  ``print_calibration_report = False`` turns off).
* Packets and the other values (:class:`DeviceInfo`, :class:`DeviceConfig`,
  :class:`CalibrationValues`, :class:`DeviceProtocol`) pickle and copy
  exactly, so they pass to other processes (``multiprocessing``) as they
  are. They compare by identity, not by value: compare their attributes
  (or ``as_dict()``).

Example::

    import vyre_client

    with vyre_client.VYREClient("/dev/ttyACM0") as client:
        print(client.get_device_info().firmware_version)
        for packet in client.get_data_packets(block=True):
            print(packet.timestamp_seconds, packet.pressure_pascals)
"""

from collections.abc import Callable, Sequence
from os import PathLike
from types import TracebackType
from typing import Any, ClassVar, Final, Self, SupportsFloat, SupportsIndex, TypedDict, final

import numpy as _np

__all__ = [
    "VYREClient",
    "MockDeviceHandle",
    "VYREDataPacket",
    "DeviceProtocol",
    "DeviceInfo",
    "DeviceConfig",
    "CalibrationValues",
    "__version__",
]

__version__: Final[str]
"""The module's version, ``"1.2.2"``."""

_Float = SupportsFloat | SupportsIndex

class _MagnetometerCalibration(TypedDict):
    """What :attr:`VYREClient.last_magnetometer_calibration` holds: the last
    calibration run's collection and fit (a plain dict at run time)."""

    samples: int
    """How many telemetry packets the run collected (all of them are used)."""
    offsets: list[float] | None
    """The fitted offsets ``b`` (3 values, µT), None when the fit gave no result."""
    scale_matrix: list[float] | None
    """The fitted matrix ``A`` (9 values, row-major), None without a fit."""
    rms_residual_microteslas: float | None
    """Root mean square of how far the calibrated samples ``A·(m − b)`` lie
    from their mean length, µT (0 for a perfect sphere); None without a fit."""
    max_residual_microteslas: float | None
    """The largest of those distances, µT; None without a fit."""
    applied: bool
    """Whether the device acknowledged the fitted calibration (the run
    returned True)."""

@final
class VYREClient:
    """A client of one VYRE device on a serial port.

    ``VYREClient(port_name, baud_rate=2000000, timeout=0.1)`` opens and
    configures the port (exclusive use, raw 8N1, no flow control, DTR raised,
    then a 50 ms pause) and starts nothing: call :meth:`start`, or use the
    client in a ``with`` block, before telemetry flows. Other threads (and an
    event loop on one) run while the port opens: the interpreter lock is
    released for the open.

    Args:
        port_name: the serial device, such as ``"/dev/ttyACM0"``; a ``str``
            or an :class:`os.PathLike` (``pathlib.Path``); plain ``bytes`` are
            refused.
        baud_rate: the line rate, 0 to 4294967295, applied as an arbitrary
            rate; ``None`` gives 2000000.
        timeout: seconds; the port's read time-out (whole milliseconds, rounded
            down) and the wait of ``get_data_packets(block=True)``. ``None``
            gives 0.1.

    Raises:
        OSError: the port cannot be opened, with one of the texts
            "Serial port '{port}' not found. Check the port name (e.g. COM8,
            /dev/ttyACM0)." (a :class:`FileNotFoundError`), "Permission denied
            opening serial port '{port}'. Try running as admin or fixing udev
            permissions." (a :class:`PermissionError`), "Failed to open
            serial port '{port}': {reason}" (a port another client holds gives
            this one, the reason being the system's device-busy text or
            "Unable to acquire exclusive lock on serial port") or "Failed to
            initialize VYRE client for '{port}': {reason}"; ``errno`` is the
            system's error number where there is one. When a client of this
            process holds the port, a note (``__notes__``) names it and says
            to :meth:`close` it.
        OverflowError: ``baud_rate`` outside 0 to 4294967295 ("out of range
            integral type conversion attempted").
        TypeError: an argument of the wrong type.

    Threads: the client belongs to the thread that created it. Every method
    called from another thread raises ``InternalFaultError`` "vyre_client::VYREClient
    is unsendable, but sent to another thread" and changes nothing.

    The port stays open until :meth:`close` (or until the client is
    released): :meth:`stop` and the end of a ``with`` block end the reader
    thread but keep the port, so that :meth:`start` resumes on it. A loop that
    builds a new client for the same port each pass closes the old one first,
    or the next open fails::

        for attempt in range(3):
            client = VYREClient(port)
            try:
                with client:
                    ...
            finally:
                client.close()   # the port is free for the next pass

    Example::

        client = VYREClient("/dev/ttyACM0")
        client.start()
        info = client.get_device_info()
        packets = client.get_data_packets(block=True)
        client.stop()
    """

    def __new__(
        cls,
        port_name: str | PathLike[str] | PathLike[bytes],
        baud_rate: SupportsIndex | None = 2000000,
        timeout: _Float | None = 0.1,
    ) -> Self:
        """Opens ``port_name`` and returns a client that is not started yet.

        See the class description for the arguments and the errors.
        """
    @staticmethod
    def new_mock(timeout: _Float = 0.1) -> tuple[VYREClient, MockDeviceHandle]:
        """A client on an in-process mock device, and the handle that plays it.

        No port is opened and nothing is started. The mock device answers
        nothing by itself and sends no telemetry: a script injects the
        responses the client waits for with
        :meth:`MockDeviceHandle.inject_response` *before* the waiting call
        (the call holds the interpreter lock unless ``release_gil`` is set, so
        nothing else can inject while it waits), and reads back what the client sent with
        :meth:`MockDeviceHandle.wait_for_command_identifier`.

        Args:
            timeout: seconds; the mock port's read time-out (how long the
                reader thread's read waits for injected bytes) and the wait of
                ``get_data_packets(block=True)``.

        Returns:
            ``(client, handle)``, the client not running.

        Raises:
            InternalFaultError: ``timeout`` negative ("cannot convert float
                seconds to Duration: value is negative"), NaN, infinite or
                2**64 seconds or more ("cannot convert float seconds to
                Duration: value is either too big or NaN"); nothing is created.
            TypeError: ``timeout`` is not a number.

        Example::

            client, device = VYREClient.new_mock()
            # a device-info answer: u64 id, then 8 bytes of version text
            device.inject_response(1, (42).to_bytes(8, "little") + b"1.0.0\\0\\0\\0")
            client.start()
            info = client.get_device_info(timeout_seconds=1.0)
            assert info.firmware_version == "1.0.0"
            assert device.wait_for_command_identifier(1.0) == 1
        """
    keep_late_answers: bool
    """Whether a command may return the late answer of an earlier call of its
    kind that timed out or was interrupted. True (the default): such an answer
    is kept and the next call of that kind returns it at once (see
    :meth:`get_device_info`). False: a read-back after a time-out is current
    (``vyre_tools.aio`` sets it on the clients it opens on a port). A command
    returns only an answer that arrived after its own command was queued and
    drops the older ones of its kind; and a call that gives up leaves its
    answer owed: the next answer of that kind to come is taken for the late
    one and refused too, so a time-out is never followed by stale data,
    however late the answer comes. Such a debt lasts up to 10 s after its call
    gave up, ends with a link failure, and a call that refused an owed answer
    while it waited and then timed out owes nothing more (what it refused may
    have been its own answer, the owed one lost on the line). Refused answers
    count in ``answers_dropped`` (:meth:`link_statistics`). With the mock
    device, whose answers are injected before the call, leave it True. Only a
    bool is accepted (TypeError otherwise); it applies from the next command
    on, and setting it True forgets the debts.
    """
    @property
    def link_failure(self) -> OSError | None:
        """The failure the reader thread ended on (the device unplugged, say),
        as the exception a call raises for it: a new
        :class:`ConnectionResetError` "Serial port disconnected (hang-up)" on
        each read, never raised here. None while the link works, before the
        first :meth:`start`, and when the last reader was stopped rather than
        failing; kept until the next :meth:`start` (also across :meth:`stop`).

        The failure itself is raised once, by whichever call looks first (see
        :meth:`ensure_ok`); this tells every other consumer of the client why
        it gets nothing more: a polling :meth:`get_data_packets` returns ``[]``
        after a link failure, whoever was told. Cheap; works on a closed client.

        Example::

            packets = client.get_data_packets()
            if not packets and client.link_failure is not None:
                reconnect()   # another call (a command) was told first
        """
    def discard_backlog(self) -> None:
        """Drops what the device sent before now, so a session starts from
        fresh data: a device that streamed while nobody had the port open
        filled the system's input buffer (and its own output queue) with old
        telemetry, which would otherwise come first, at a rate above the
        device's, followed by a gap.

        Call it right after opening, before :meth:`start` (it works on a
        running client too). It drops the bytes waiting in the port's input
        buffer at once, again when the reader next runs, and then the
        telemetry of each read as long as it comes ahead of the device's
        clock: while the lag between the host's receive time and the device's
        timestamp keeps shrinking (a queue draining), until it has stayed
        within 5 ms of its lowest for 0.1 s, and for 2 s at most. The first
        tenth of a second of live telemetry goes with it. A read that finds
        the line quiet for a whole read time-out (no queue drains with a
        pause) and the first frame of a mock-log replay end the dropping. Packets already
        queued for :meth:`get_data_packets` stay; answers to commands are
        never dropped. Dropped packets count in ``packets_discarded``
        (:meth:`link_statistics`). Without this call every byte the port
        delivers is read, as ever. ``vyre_tools.aio`` and the ``vyre``
        command call it on every client they open on a port.
        """
    release_gil: bool
    """Whether this client's waits let other Python threads run. False (unless
    changed with ``set_default_release_gil``): every wait keeps the interpreter
    lock, as ever. True: the waits of transactions, ``get_data_packets`` and
    ``get_data_array`` with ``block=True``, the mock-stream handshake, a blocking
    ``stop_mock_log_stream``, the calibration run and the joins of ``stop`` and
    ``__exit__`` run with the lock released; it is taken back about every 50 ms
    for the signal check, so Ctrl-C still ends a wait within about 50 ms. Results,
    exceptions, the thread binding and "Already borrowed" stay the same. Only a
    bool is accepted (TypeError otherwise); it applies from the next call on.
    """
    interrupt_hook: Callable[[], object] | None
    """None (the default), or a callable run on the waiting thread, with the
    interpreter lock held, about every 50 ms while a call of this client waits,
    right after the signal check. An exception it raises ends the wait the way
    Ctrl-C's KeyboardInterrupt does (the call raises it, the client stays usable):
    the way for a thread other than the main one, where signals are not handled,
    to give up a wait (``vyre_tools.aio`` cancels through it). A wait keeps the
    hook it started with. TypeError for anything neither callable nor None.
    """
    print_calibration_report: bool
    """Whether :meth:`run_and_apply_magnetometer_calibration` prints its
    three-line report on standard output: True (the default) prints it as
    described there, False prints nothing (the fit is still in
    :attr:`last_magnetometer_calibration`). Only a bool is accepted (TypeError
    otherwise)."""
    @property
    def last_magnetometer_calibration(self) -> _MagnetometerCalibration | None:
        """What the last :meth:`run_and_apply_magnetometer_calibration` of this
        client collected and fitted, as a new dict on each read (changing it
        changes nothing)::

            {"samples": 742, "offsets": [12.01, -6.99, 4.02],
             "scale_matrix": [0.93, -0.05, 0.03, ...],
             "rms_residual_microteslas": 0.06, "max_residual_microteslas": 0.21,
             "applied": True}

        ``offsets``, ``scale_matrix`` and the residuals are None when the fit
        gave no result. None before the first run, and when the last run ended
        before its collection did (neutral reset refused or unanswered, an
        exception, Ctrl-C). Read-only.
        """
    @staticmethod
    def set_default_release_gil(release: bool) -> bool:
        """Sets what ``release_gil`` starts as on every client and mock handle made
        from now on, process-wide, and returns the previous setting (False at
        import). TypeError unless ``release`` is a bool.
        """
    def fileno(self) -> int:
        """A descriptor (an eventfd) that polls readable while something waits to
        be taken: a telemetry packet, a background error, or a response that no
        call of this client has seen since it came (a late answer stays on its
        kind's backlog for the next call of that kind, but makes the descriptor
        readable only until the next call of the client). After each call that
        leaves nothing waiting it is quiet again. For ``selectors``, asyncio's
        ``add_reader`` or a GUI's socket notifier; never read it yourself.

        It is made on the first call (later calls return the same number), costs
        the reader one atomic operation per delivery and a system call only when
        it turns readable, and is closed with the client: unregister it first.

        Raises:
            OSError: the system's text when no eventfd can be made.
        """
    def start(self) -> None:
        """Starts the reader thread (nothing happens when it already runs).

        From then on the reader owns the port: it writes queued commands,
        reads the device's bytes, and queues telemetry and answers for the
        caller. A client stopped after a link failure starts a fresh reader on
        the same port.

        Raises:
            OSError: the port's device has already gone ("Serial port
                disconnected (hang-up)"); the client stays stopped.
            InternalFaultError: the thread could not be created ("failed to
                spawn thread").
        """
    def stop(self) -> None:
        """Stops the background work and takes the port back.

        In this order: asks a running mock-log stream to stop and collects it
        (its error, if any, goes to the error queue that :meth:`ensure_ok`
        reads), ends a calibration run, then joins the reader thread (within
        about one read time-out, 0.1 s by default). Commands and mock frames
        not yet written are discarded; packets, answers and errors already
        received stay for later calls. The port stays open: :meth:`start`
        resumes on it, and it closes at :meth:`close` or when the client is
        released. Stopping a stopped client does nothing.
        """
    def close(self) -> None:
        """Stops the client as :meth:`stop` does, then closes its port at once,
        so that another client (of this process or another) can open it.

        Afterwards :meth:`stop`, :meth:`close`, ``__exit__``,
        :meth:`is_running` (False), :meth:`link_statistics` and the attributes
        still work; every other method raises ValueError "VYREClient('{port}')
        is closed" ("the VYREClient of a mock device is closed" for
        :meth:`new_mock`'s). Closing a closed client does nothing, and a
        ``with`` block whose body closed the client ends quietly.

        Raises:
            InternalFaultError: the reader thread could not be joined (the
                port is closed all the same).
        """
    @property
    def closed(self) -> bool:
        """Whether :meth:`close` was called."""
    def is_running(self) -> bool:
        """Whether the reader thread runs.

        False before :meth:`start`, after :meth:`stop`, and as soon as the
        reader ended on a link failure (the device was unplugged, say); the
        failure's text is then raised by the next :meth:`ensure_ok` or command,
        and :attr:`link_failure` holds it for every other consumer.
        """
    def ensure_ok(self) -> None:
        """Raises the oldest background error, if there is one; else returns None.

        Background errors are the reader's read or write failures (the device
        unplugged: "Serial port disconnected (hang-up)") and the failures of a
        mock-log stream. They queue up and come out one per call, oldest
        first; each is raised once. Commands, :meth:`get_data_packets`,
        :meth:`get_data_array`, :meth:`start_mock_log_stream` and
        :meth:`run_and_apply_magnetometer_calibration` raise one too before
        doing anything.

        Raises:
            OSError: the error's text; ConnectionResetError for a failure of
                the link, the class of its ``errno`` for a replay's file
                error (FileNotFoundError...).
        """
    def __enter__(self) -> Self:
        """Starts the client (as :meth:`start`) and returns it."""
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> None:
        """Ends a running mock-log stream (queuing a cancel for the device), then stops
        the client as :meth:`stop` does. Returns None, so an exception raised
        in the block goes on after the client has stopped. The port stays open
        until :meth:`close` (see the class description)."""
    def get_data_packets(self, block: bool = False) -> list[VYREDataPacket]:
        """Every telemetry packet received since the last call, oldest first.

        Each call takes every packet queued so far (the queue grows without
        bound while nobody calls). Without ``block`` the list may be empty. With
        ``block=True`` (a ``bool``: 0 and 1 are refused), waits up to the
        client's ``timeout`` (seconds, set at construction) for at least one.
        The wait ends at once when the link fails (the device is unplugged,
        say), raising ConnectionResetError (an OSError) with that failure's
        text ("Serial port disconnected (hang-up)"), which is then not raised
        again.

        Returns:
            A new list of :class:`VYREDataPacket`.

        Raises:
            OSError: the oldest background error, before any packet is taken;
                with ``block=True``, TimeoutError "timed out waiting on
                channel" when no packet came within ``timeout``.
            TypeError: ``block`` is not a bool.
            InternalFaultError: with ``block=True``, a negative or NaN client
                ``timeout``.

        Example::

            for packet in client.get_data_packets(block=True):
                print(f"{packet.timestamp_seconds:.3f} s  {packet.pressure_pascals:.0f} Pa")
        """
    def link_statistics(self) -> dict[str, int]:
        """Counts of what came over the link since the client was built, as a new
        dict of ints. They go on across ``stop`` and ``start`` and never go back.
        Cheap enough to call every few milliseconds; never raises for the link's
        state (RuntimeError "Already mutably borrowed" only when called from a
        signal handler during another call's wait).

        The framer looks for frames at every header-like pair of bytes (a
        telemetry or a response header): a *candidate*. Each candidate ends in
        exactly one of telemetry_frames, response_frames, short_frames (taken off
        the stream) or unknown_responses, crc_rejected, length_rejected,
        given_up (refused: the search goes on at its second byte, so the bytes
        after its first are looked at again). Counts are in bytes or in
        candidates as named, and always add up:
        ``bytes_received == frame_bytes + noise_bytes + buffered_bytes``.

        Keys:
            bytes_received: bytes read from the port.
            frame_bytes: bytes of the frames taken off the stream (those
                counted in telemetry_frames, response_frames and short_frames).
            noise_bytes: bytes thrown away outside such a frame, each once:
                bytes before a header-like pair, the first byte of every refused
                candidate, and what the framer still held when its reader
                stopped (a stopped client holds nothing).
            buffered_bytes: bytes held for a candidate still waiting for the
                rest of its frame (at most 265), or a last byte that may start a
                header.
            telemetry_frames: telemetry frames with a valid CRC, decoded into a
                packet.
            response_frames: response frames with a valid CRC, decoded into an
                answer for the calls that wait for one.
            short_frames: frames with a valid CRC whose payload is too short for
                their decoder (telemetry under 76 bytes, device info under 16,
                device config under 35, calibration values under 144): taken off
                the stream, nothing delivered.
            unknown_responses: response frames with a valid CRC and an
                identifier no answer has: refused.
            crc_rejected: candidates whose whole frame arrived with a CRC that
                does not match: refused.
            length_rejected: candidates whose length field announces more than
                256 payload bytes, more than any frame the device sends: refused
                at once.
            given_up: candidates still waiting for the rest of their frame when
                the line went quiet (a read timed out, and reads went on timing
                out for 50 ms more: 0.2 s of quiet with the default 0.1 s
                time-out): refused, each once, as a device sends a frame in one
                go. The frames behind them come out then.
            answers_dropped: answers pushed out of a full backlog (more than
                256 unclaimed answers of one kind), oldest first, and late
                answers refused with ``keep_late_answers`` off.
            packets_delivered: telemetry packets handed out of the packet queue
                to the caller (by ``get_data_packets`` and ``get_data_array``).
            packets_waiting: telemetry packets in the packet queue, not handed
                out yet. ``telemetry_frames`` is never less than
                ``packets_delivered + packets_waiting``; on a stopped client
                they are equal.
            read_errors: reads from the port that failed; each ends the reader
                with that error (see ``ensure_ok``).
            packets_discarded: telemetry packets decoded but dropped by
                :meth:`discard_backlog` as sent before the session.

        Example::

            stats = client.link_statistics()
            if stats["crc_rejected"] or stats["given_up"]:
                print("the line is noisy:", stats)
        """
    def clock_sync(self) -> dict[str, bool | float | int]:
        """How the device's clock maps onto the host's, as a new dict. The client
        fits host time = offset + rate x device time to the (device timestamp,
        receive time) pairs of the telemetry it reads, along the pairs with the
        least delay (frames are never received before they are sent), and stamps
        ``synced_time_seconds`` of ``get_data_array`` with it. The model goes on
        across ``stop`` and ``start``; device timestamps that go backwards or
        jump ahead of it (a reboot, mock mode, a replug of another device, a step
        of the host's clock) start a new one. Cheap; never raises for the link's
        state.

        Keys:
            synced: True while the model holds (from 0.3 to 0.5 s of
                telemetry after the first packet or a discontinuity).
            offset_seconds: host time (``time.time()``'s clock) at device time
                0, the link's fixed minimum delay included; NaN until synced.
            drift_ppm: how much faster the device's clock runs than the host's,
                in parts per million (negative: it runs slow); NaN until synced.
            pairs: (device timestamp, receive time) pairs the current model has
                taken, one per read that brought telemetry.
            resets: discontinuities of the device's clock since the client was
                built; a new model starts at each.
            jitter_seconds: the 99th percentile of the model's residuals: how
                far the least-delay pairs of its last windows (0.1 s of device
                time each, the last 64) lie from the fitted line, in seconds: the
                scatter of the envelope the synced times come from. A host too
                busy to read for a whole window shows here, though the fit
                leaves such windows out. NaN until synced.
            drift_uncertainty_ppm: the standard error of ``drift_ppm``, from
                the scatter of those least-delay pairs about the fitted line
                and the device time they span: hundreds of ppm right after
                the model holds, a few ppm once its windows span seconds. The
                drift is rarely further off than three times it. NaN until
                synced.

        Example::

            sync = client.clock_sync()
            if sync["synced"]:
                print(f"device clock {sync['drift_ppm']:+.1f} "
                      f"± {sync['drift_uncertainty_ppm']:.1f} ppm")
        """
    def get_data_array(self, block: bool = False) -> _np.ndarray[tuple[int], _np.dtype[_np.void]]:
        """The packets ``get_data_packets`` would return, as one numpy structured array.

        Both calls take from the same queue: each packet goes to exactly one of
        them, oldest first. One row per packet; its columns are the fields of
        ``VYREDataPacket.__struct_fields__`` in that order, at the precision they
        have on the wire (``timestamp_seconds`` float64, the other 22 float32, bit
        for bit the values the packet would hold), then ``host_time_seconds``
        (float64): seconds since the epoch, on the clock of ``time.time()``, at
        which the host's read that completed the packet's frame returned; packets
        whose frames one read completed share it; then ``synced_time_seconds``
        (float64): the time on the same clock at which the device took the
        sample, from the device's timestamp and the client's clock model (see
        ``clock_sync``), or NaN while the model does not hold: for the first
        0.3 to 0.5 s of telemetry (three windows of 0.1 s of device time, each
        with a read in it; longer when a device sends less often than that)
        after the client's first packet and after every discontinuity of the
        device's clock, and for a packet received more than 0.25 s later than
        the model expects. It is never a guess. It still holds the link's fixed
        minimum delay, which one direction cannot observe (the guide's time
        page says how to remove it when known). Both host times are found here
        only. An empty queue gives an empty array of the same dtype, so
        ``pandas.DataFrame(client.get_data_array())`` always works.

        With ``block=True``, waits up to the client's ``timeout`` (seconds) for at
        least one packet. numpy is imported at the first call.

        Raises:
            ImportError: numpy cannot be imported ("get_data_array needs numpy:
                pip install numpy"); no packet is taken from the queue.
            OSError: as for ``get_data_packets``: the oldest background error,
                raised first; with ``block=True``, "timed out waiting on channel"
                when nothing came in time, or at once the link failure's text
                ("Serial port disconnected (hang-up)") when the link fails during
                the wait, which is then not raised again.
            TypeError: ``block`` is not a bool.

        Example::

            import pandas as pd
            frame = pd.DataFrame(client.get_data_array(block=True))
            frame["pressure_pascals"].mean()
        """
    def get_device_info(self, timeout_seconds: _Float = 5.0) -> DeviceInfo | None:
        """The device's identity, or None when no answer came within
        `timeout_seconds` seconds.

        Like every command, the wait ends at once when the link fails, raising
        OSError with the failure's text, once. Answers the device sends without
        being asked are kept per kind, at most 256 of each (the oldest go first);
        the next call of that kind claims the oldest.

        Commands: the call queues its command (the reader writes it within one
        read time-out; on a client that is not started it waits in the queue
        until :meth:`start`), takes an answer of its kind that is already
        waiting, or waits for one until the time-out. An answer that comes
        after its call gave up is *kept* and returned by the next call of the
        same kind, at once: after a time-out, the next read-back can return
        the older value, and its own answer waits for the call after it. Such
        a lag of one answer per time-out lasts as long as the client (answers
        are kept across :meth:`stop` and :meth:`start`): give the device time
        enough (the default 5 s), and after a time-out release the client and
        build a new one when the values must be current, or set
        :attr:`keep_late_answers` to False.

        Args:
            timeout_seconds: how long to wait for the answer, seconds (0 takes
                only an answer already received).

        Returns:
            A new :class:`DeviceInfo`, or None on time-out.

        Raises:
            OSError: the oldest background error (nothing is sent then);
                "Command channel closed" after a link failure until
                :meth:`stop` and :meth:`start`.
            InternalFaultError: ``timeout_seconds`` negative ("cannot convert
                float seconds to Duration: value is negative") or NaN or too
                large ("cannot convert float seconds to Duration: value is
                either too big or NaN"); nothing is sent.
            TypeError: ``timeout_seconds`` is not a number.
        """
    def get_device_config(self, timeout_seconds: _Float = 5.0) -> DeviceConfig | None:
        """The device's configuration (name, telemetry frequency, protocol), or
        None when no answer came within `timeout_seconds` seconds.

        A command like :meth:`get_device_info`: the same waiting, the same
        keeping of late answers, the same errors.
        """
    def set_device_config(
        self, name: str, frequency: SupportsIndex, protocol: DeviceProtocol, timeout_seconds: _Float = 5.0
    ) -> bool:
        """Sends a new configuration and waits up to `timeout_seconds` seconds for
        the device's answer: True if it accepted, False if it refused or did not
        answer in time. Nothing is read back.

        Args:
            name: the device name; its UTF-8 bytes are sent, cut to 32 bytes
                (a cut may fall inside a character).
            frequency: the telemetry frequency, 0 to 65535 (the device's unit,
                frames per second on the simulated device).
            protocol: a :class:`DeviceProtocol` member (ints are refused).
            timeout_seconds: seconds to wait for the answer.

        Raises:
            OverflowError: ``frequency`` outside 0 to 65535 ("out of range
                integral type conversion attempted"); nothing is sent.
            TypeError: ``name`` not a ``str``, ``protocol`` not a
                :class:`DeviceProtocol`.
            ValueError: ``name`` holds a NUL character ("name must not
                contain a NUL character (the device's name ends at its
                first)"): the device would keep only what comes before it,
                and still accept; nothing is sent.
            OSError: as for :meth:`get_device_info`.
            InternalFaultError: as for :meth:`get_device_info`.
        """
    def get_calibration(self, timeout_seconds: _Float = 5.0) -> CalibrationValues | None:
        """The device's IMU and magnetometer calibration, or None when no answer
        came within `timeout_seconds` seconds.

        The lists it holds can be written back unchanged with
        :meth:`set_imu_calibration` and :meth:`set_magnetometer_calibration`,
        which makes it the backup to take before a calibration run. A command
        like :meth:`get_device_info`: the same waiting, the same keeping of late
        answers, the same errors.

        Example::

            backup = client.get_calibration()
            ...
            client.set_magnetometer_calibration(backup.magnetometer_offsets,
                                                backup.magnetometer_scale_matrix)
        """
    def set_imu_calibration(
        self,
        accel_offsets: Sequence[_Float],
        accel_scale_matrix: Sequence[_Float],
        gyro_offsets: Sequence[_Float],
        gyro_scale_matrix: Sequence[_Float],
        timeout_seconds: _Float = 5.0,
    ) -> bool:
        """Sends the IMU calibration and waits up to `timeout_seconds` seconds for the
        device's answer: True if it accepted, False if it refused or did not answer
        in time. Offsets hold three numbers in the units of the matching telemetry
        fields (g, degrees per second); matrices are flat sequences of nine numbers
        in row-major order. Every number is sent as a 32-bit float.

        Raises TypeError for a non-sequence or a non-numeric item, ValueError
        "expected a sequence of length {n} (got {m})" for a wrong length, and then,
        before anything is sent, ValueError "{argument} must hold finite numbers
        (item {i} is not finite as a 32-bit float)" for NaN, an infinity, or a
        number beyond the 32-bit range (such as 1e39).

        Args:
            accel_offsets: three accelerometer offsets, g.
            accel_scale_matrix: nine numbers, row-major (a nested 3 x 3 list is
                refused: "expected a sequence of length 9 (got 3)").
            gyro_offsets: three gyroscope offsets, degrees per second.
            gyro_scale_matrix: nine numbers, row-major.
            timeout_seconds: seconds to wait for the answer.

        The other errors (background error, closed command channel, impossible
        time-out) are those of :meth:`get_device_info`.
        """
    def set_magnetometer_calibration(
        self, offsets: Sequence[_Float], scale_matrix: Sequence[_Float], timeout_seconds: _Float = 5.0
    ) -> bool:
        """Sends the magnetometer calibration (offsets: three numbers in microteslas;
        scale_matrix: nine numbers in row-major order) and waits up to
        `timeout_seconds` seconds for the device's answer: True if it accepted,
        False if it refused or did not answer in time. Every number is sent as a
        32-bit float.

        Raises TypeError for a non-sequence or a non-numeric item, ValueError
        "expected a sequence of length {n} (got {m})" for a wrong length, and then,
        before anything is sent, ValueError "{argument} must hold finite numbers
        (item {i} is not finite as a 32-bit float)" for NaN, an infinity, or a
        number beyond the 32-bit range (such as 1e39).

        A calibrated reading is ``scale_matrix @ (raw - offsets)``. Neutral is
        offsets ``[0, 0, 0]`` and the identity ``[1, 0, 0, 0, 1, 0, 0, 0, 1]``.
        The other errors are those of :meth:`get_device_info`.
        """
    def run_and_apply_magnetometer_calibration(
        self, collection_duration_seconds: _Float, apply_timeout_seconds: _Float = 5.0
    ) -> bool | None:
        """Runs a blocking magnetometer calibration sequence.

        This function will:
        1. Start the calibration listener.
        2. Sleep for `collection_duration_seconds` (blocking the script).
        3. Stop the listener and calculate the result.
        4. Apply the result to the device if successful.

        A link failure during the collection ends the run at once with OSError
        (the failure's text); nothing is fitted, printed or written then.

        In detail, on a started client: first it **resets the device's
        magnetometer calibration to neutral** (offsets 0, identity matrix;
        when that write is refused or not answered within
        ``apply_timeout_seconds`` it returns None and does nothing more). It
        then collects the magnetic field of every telemetry packet for
        ``collection_duration_seconds`` while the device is turned through as
        many orientations as possible, fits an ellipsoid (offsets ``b``, µT,
        and a symmetric matrix ``A`` that maps the cloud onto a sphere of the
        samples' mean radius), prints the result and writes it to the device.
        The collected packets also stay queued for :meth:`get_data_packets`.

        The report is three lines written to the **process's standard output**
        (file descriptor 1), not through ``sys.stdout``: ``contextlib.redirect_stdout``
        and pytest's ``capsys`` do not see it (``capfd`` does). ``sys.stdout``
        is flushed first, so the two stay in order::

            Calibration result:
              b = [12.011935, -6.993349, 4.018421]
              A = [0.928466, -0.046329, 0.028176; ...]

        ``A`` is printed column by column (it is symmetric); with
        ``print_calibration_report = False`` nothing is printed. The run's
        sample count, fit and residuals are in
        :attr:`last_magnetometer_calibration` afterwards. The call holds
        the interpreter lock for its whole length, the collection time
        included, unless ``release_gil`` is set. After a None result, an exception or Ctrl-C the device
        keeps the neutral calibration: take a backup with
        :meth:`get_calibration` first and write it back unless the result is
        True, as ``vyre_tools.calibration_backup.MagnetometerRollback`` does::

            with MagnetometerRollback(client) as rollback:
                if client.run_and_apply_magnetometer_calibration(15.0):
                    rollback.accept()     # otherwise the old calibration is back

        Args:
            collection_duration_seconds: how long to collect, seconds.
            apply_timeout_seconds: the time-out of each of the two writes
                (neutral reset and result), seconds.

        Returns:
            True if the device accepted the computed calibration, False if it
            refused it or did not answer in time, None if nothing was computed
            and written: the neutral reset was refused or unanswered, or the fit
            gave no result (fewer than 10 samples, or a cloud that is not an
            ellipsoid around the origin, such as a device that was not turned).

        Raises:
            OSError: the oldest background error (before anything is sent); a
                transaction error ("Command channel closed"); "Calibration
                already in progress"; "Calibration thread panicked"; a link
                failure during the collection.
            InternalFaultError: a negative, NaN or too large time ("cannot
                convert float seconds to Duration: value is negative" / "...
                value is either too big or NaN"); nothing is sent.
            KeyboardInterrupt: Ctrl-C during the collection or a write.
        """
    def reboot(self) -> None:
        """Asks the device to reboot and returns at once; does not wait for anything.

        Telemetry pauses while the device restarts. An answer the device may
        send is kept unclaimed.

        Raises:
            OSError: the oldest background error (nothing is sent then), or
                "Command channel closed" after a link failure.
        """
    def cancel(self, timeout_seconds: _Float = 5.0) -> bool:
        """Sends the cancel command (which also ends the device's mock mode) and
        waits up to `timeout_seconds` seconds: True if the device acknowledged
        it, False if it refused or did not answer in time. Errors as for
        :meth:`get_device_info`."""
    def start_mock_log_stream(
        self,
        log_path: str | PathLike[str] | PathLike[bytes],
        realtime: bool = True,
        speed: _Float = 1.0,
        chunk_size: SupportsIndex = 8192,
        start_timeout_seconds: _Float = 5.0,
        cancel_on_finish: bool = True,
    ) -> None:
        """Asks the device into mock mode, waits up to `start_timeout_seconds` for
        its acknowledgement, then replays `log_path` in the background.

        The log may also be a pipe or a device: it is read as its data comes,
        and a stop still ends the replay within about 10 ms. Reading ends at
        the log's end marker; nothing after it is read. A link failure during
        the handshake raises OSError with the failure's text at once.

        A stopped client is started first. The replay sends the log's 286-byte
        header block, then every record as a mock frame; the first 75 records
        go out at once, the rest in batches of 10 paced by the records'
        timestamps divided by ``speed`` (with ``realtime=False`` nothing is
        paced). When the log is done (or fails) the device gets a cancel if
        ``cancel_on_finish``. Failures inside the replay come later, once:
        from the next :meth:`ensure_ok` or command, or from
        :meth:`stop_mock_log_stream` if that comes first.

        Args:
            log_path: the log file, a ``str`` or an :class:`os.PathLike`
                (plain ``bytes`` are refused).
            realtime: pace the records by their timestamps.
            speed: how much faster than logged to replay; must be > 0 (the
                replay fails with "speed must be > 0" otherwise).
            chunk_size: bytes per read of the log (0 sends only the header).
            start_timeout_seconds: seconds to wait for the device's
                acknowledgement of mock mode.
            cancel_on_finish: send the device a cancel when the replay ends.

        Raises:
            OSError: the oldest background error; "Mock stream already
                running"; TimeoutError "Timed out waiting for mock
                acknowledgement"; "Device rejected mock mode";
                ConnectionResetError "Command channel closed".
            TypeError: ``log_path`` neither a ``str`` nor a path object, a
                flag not a ``bool``.
            OverflowError: a negative ``chunk_size``.
            InternalFaultError: an impossible ``start_timeout_seconds``.

        Example::

            client.start_mock_log_stream("flight.bin", speed=4.0)
            while client.is_mock_log_streaming():
                time.sleep(0.1)
            sent = client.stop_mock_log_stream()
        """
    def stop_mock_log_stream(self, cancel_device: bool = True, block: bool = True) -> int | None:
        """Stops the replay and collects its result.

        Sends the device a cancel when ``cancel_device`` (also when no replay
        runs). With ``block=True`` waits for the replay to end (within about
        10 ms) and returns how many log records it sent (the header block not
        counted); with ``block=False`` returns None while it is still ending
        (a later call collects it). None when there was no replay.

        A replay that failed is reported once: when :meth:`ensure_ok` or a
        command raised its failure already, this returns None.

        Raises:
            OSError: the replay's own failure ("speed must be > 0", "failed to
                fill whole buffer" for a log shorter than its 286-byte header,
                the system's text for a file that cannot be read, with its
                ``errno`` and class: FileNotFoundError "No such file or
                directory" for a missing log; "Mock channel closed", "Mock
                stream thread panicked").
            TypeError: a flag not a ``bool``.
        """
    def is_mock_log_streaming(self) -> bool:
        """Whether a replay is still sending. False once it finished by itself,
        even before :meth:`stop_mock_log_stream` collected its result."""
    def mock_frames_waiting(self) -> int:
        """Mock-log frames queued for the port and not yet written to it.

        The reader writes a long replay a slice at a time and commands overtake
        the mock frames still queued, so a script that must follow a replay with
        a command (a ``cancel``, say) waits until this is 0 after the stream has
        ended. Counts since the last ``stop``, which discards what was queued.
        """

@final
class MockDeviceHandle:
    """The device side of a client made by :meth:`VYREClient.new_mock`.

    A script plays the device through it: it queues answers for the client to
    read and reads back the identifiers of the frames the client wrote. The
    mock device never answers by itself and cannot send telemetry. Instances
    come only from ``new_mock`` (calling the class raises TypeError) and belong
    to the thread that created them, like the client ("vyre_client::MockDeviceHandle
    is unsendable, but sent to another thread" from elsewhere).
    """

    release_gil: bool
    """Whether ``wait_for_command_identifier`` lets other Python threads run while
    it waits (lock taken back about every 50 ms for the signal check). Starts as
    ``VYREClient.set_default_release_gil`` says (False by default); only a bool
    is accepted.
    """
    def inject_response(
        self, identifier: SupportsIndex, payload: bytes | bytearray | Sequence[SupportsIndex]
    ) -> None:
        """Queues one response frame (header 0x5AA5) for the client to read.

        Injected bytes wait until the client's reader reads them, also across
        :meth:`VYREClient.start`; inject before the call that waits for them.

        Args:
            identifier: the response identifier, 0 to 65535: 1 device info, 2
                device config, 3 set device config, 5 mock mode, 6 set
                magnetometer calibration, 7 set IMU calibration, 8 calibration
                values, 255 cancel (acknowledgements are one byte, 1 meaning
                yes).
            payload: the payload: ``bytes``, ``bytearray`` or a sequence of
                ints 0 to 255 (a ``str`` is refused).

        Raises:
            OverflowError: ``identifier`` or an item out of range ("out of
                range integral type conversion attempted").
            TypeError: ``payload`` is a ``str`` or not a sequence.

        Example::

            device.inject_response(5, [1])            # accept mock mode
            device.inject_response(3, b"\\x01")        # accept a configuration
        """
    def wait_for_command_identifier(self, timeout_seconds: _Float) -> int | None:
        """The identifier of the next whole frame the client wrote, waiting up to
        `timeout_seconds` seconds for one (a frame already written is returned even
        for 0); None if none came in time. A frame that does not decode raises
        OSError, on this call and every later one.

        Raises RuntimeError "Already borrowed" when called again on the same handle
        during its wait, as from a signal handler; that exception then ends the
        outer wait too unless the handler catches it.

        Frames come back in the order written, commands (1 to 8, 255) and mock
        frames alike (0x48 for a log's header block, the record letters
        ``ord("A")`` and so on). The wait holds the interpreter lock (unless the
        handle's ``release_gil`` is set) and polls every millisecond; a negative or NaN ``timeout_seconds`` raises
        ``InternalFaultError`` as for :meth:`VYREClient.new_mock`.
        """

@final
class VYREDataPacket:
    """Represents processed telemetry with derived fields included.

    One telemetry sample: 18 values sent by the device and 5 derived on the
    host when the packet is built. Immutable; every attribute is a float.
    ``timestamp_seconds`` is kept in double precision, the others in single
    precision (a value built from 0.1 reads back as 0.10000000149011612).

    Conventions:

    * Quaternion ``(est_quaternion_w, _x, _y, _z)``: scalar first. It turns
      vectors of the device's body frame into the reference frame
      (``v_ref = q * v_body * q*``); it need not be unit length (it is
      normalised before use; one of length 0 means no rotation).
    * Body frame: the sensor axes turned by 45 degrees about Z:
      ``bx = 0.70710677 * (ax - ay)``, ``by = 0.70710677 * (ax + ay)``,
      ``bz = az``.
    * Rotated acceleration: the body vector ``b`` carried into the reference
      frame by the quaternion, in g.
    * Tilt: the angle between the device's *up axis* carried into the
      reference frame and the reference +Z axis, 0 to 180 degrees. The up axis
      is the body axis (+X, -X, +Y, -Y, +Z or -Z, ties to the earlier) closest
      to the acceleration of the **first finite sample after each start** of
      the client, and it stays for that run. The same motion can therefore
      plot differently from one session to the next: a device that starts
      lying on its side measures tilt from that side.
    * Mach number: ``|est_velocity_z_meters_per_s| / a`` with the speed of
      sound ``a = sqrt((temperature_celsius + 273.15) * 1.4 * 287.05)`` m/s:
      the **vertical velocity alone**, at the device's own temperature
      (dry air). 0 when either input is not finite or the temperature is at or
      below absolute zero.
    * A NaN or infinity in an acceleration or quaternion component gives a
      rotated acceleration of (0, 0, 0) and a tilt of 0 (and does not choose
      the up axis).

    Packets can be passed between threads and stay valid after the client is
    gone; they pickle and copy (:mod:`pickle`, :mod:`copy`, ``multiprocessing``)
    exactly. Constructing one from Python (the 18 wire values in payload order,
    by position or keyword) derives the 5 values as for the first packet of a
    run: its up axis comes from its own acceleration. A missing, unexpected or
    non-numeric argument raises TypeError ("argument '{name}': ...").

    Example::

        p = VYREDataPacket.default_zero()
        p.est_quaternion_w, p.est_tilt_angle_degrees    # (1.0, 0.0)
        p.as_dict()["pressure_pascals"]                 # 0.0
    """

    __struct_fields__: ClassVar[list[str]]
    """The 23 attribute names in declaration order (the derived ones at
    positions 7 to 10 and 19, counting from 1): the keys of :meth:`as_dict`
    and the first 23 columns of :meth:`VYREClient.get_data_array`. The same
    list object on every access; do not modify it."""
    def __new__(
        cls,
        timestamp_seconds: _Float,
        temperature_celsius: _Float,
        pressure_pascals: _Float,
        raw_acceleration_x_gs: _Float,
        raw_acceleration_y_gs: _Float,
        raw_acceleration_z_gs: _Float,
        raw_angular_rate_x_deg_per_s: _Float,
        raw_angular_rate_y_deg_per_s: _Float,
        raw_angular_rate_z_deg_per_s: _Float,
        magnetic_field_x_microteslas: _Float,
        magnetic_field_y_microteslas: _Float,
        magnetic_field_z_microteslas: _Float,
        est_position_z_meters: _Float,
        est_velocity_z_meters_per_s: _Float,
        est_quaternion_w: _Float,
        est_quaternion_x: _Float,
        est_quaternion_y: _Float,
        est_quaternion_z: _Float,
    ) -> Self:
        """A packet from the 18 values a telemetry frame carries, in payload
        order; the 5 derived values are computed from them.

        Raises:
            TypeError: an argument missing, unexpected, or not convertible to
                float ("argument '{name}': ...").
        """
    @staticmethod
    def default_zero() -> VYREDataPacket:
        """The all-zero packet with the identity attitude: every input 0 except
        ``est_quaternion_w`` = 1.0, so all five derived values are 0."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling support: ``pickle.loads(pickle.dumps(p))`` gives a packet
        whose 23 values are bit for bit the original's (NaN payloads and the
        derived values included; they are not computed again)."""
    def __copy__(self) -> Self:
        """The packet itself: packets are immutable."""
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self:
        """As :meth:`__copy__` (the values hold no other objects)."""
    def as_dict(self) -> dict[str, float]:
        """A new dict of the 23 attributes, in declaration order (the keys of
        ``__struct_fields__``), values as floats.

        Raises:
            ValueError: "Failed to serialize packet: ..." when a value or entry
                cannot be created (out of memory).
        """
    @property
    def timestamp_seconds(self) -> float:
        """The device's time of the sample, seconds (double precision)."""
    @property
    def temperature_celsius(self) -> float:
        """Temperature, degrees Celsius."""
    @property
    def pressure_pascals(self) -> float:
        """Barometric pressure, pascals."""
    @property
    def raw_acceleration_x_gs(self) -> float:
        """Measured acceleration along the sensor's X axis, g (1 g at rest
        along the axis that points up)."""
    @property
    def raw_acceleration_y_gs(self) -> float:
        """Measured acceleration along the sensor's Y axis, g."""
    @property
    def raw_acceleration_z_gs(self) -> float:
        """Measured acceleration along the sensor's Z axis, g."""
    @property
    def raw_rotated_acceleration_x_gs(self) -> float:
        """Derived: X of the acceleration in the reference frame, g (the body
        vector turned by the quaternion; see the class description)."""
    @property
    def raw_rotated_acceleration_y_gs(self) -> float:
        """Derived: Y of the acceleration in the reference frame, g."""
    @property
    def raw_rotated_acceleration_z_gs(self) -> float:
        """Derived: Z of the acceleration in the reference frame, g."""
    @property
    def est_tilt_angle_degrees(self) -> float:
        """Derived: angle between the device's up axis (chosen from the first
        finite sample after each start) in the reference frame and the
        reference +Z axis, degrees, 0 to 180."""
    @property
    def raw_angular_rate_x_deg_per_s(self) -> float:
        """Measured angular rate about the sensor's X axis, degrees per second."""
    @property
    def raw_angular_rate_y_deg_per_s(self) -> float:
        """Measured angular rate about the sensor's Y axis, degrees per second."""
    @property
    def raw_angular_rate_z_deg_per_s(self) -> float:
        """Measured angular rate about the sensor's Z axis, degrees per second."""
    @property
    def magnetic_field_x_microteslas(self) -> float:
        """Magnetic field along the sensor's X axis, microteslas (after the
        device's magnetometer calibration)."""
    @property
    def magnetic_field_y_microteslas(self) -> float:
        """Magnetic field along the sensor's Y axis, microteslas."""
    @property
    def magnetic_field_z_microteslas(self) -> float:
        """Magnetic field along the sensor's Z axis, microteslas."""
    @property
    def est_position_z_meters(self) -> float:
        """The device's estimate of its vertical position, meters."""
    @property
    def est_velocity_z_meters_per_s(self) -> float:
        """The device's estimate of its vertical velocity, meters per second."""
    @property
    def est_mach_number(self) -> float:
        """Derived: ``|est_velocity_z_meters_per_s|`` over the speed of sound at
        ``temperature_celsius``; the vertical velocity alone (no horizontal
        speed enters it)."""
    @property
    def est_quaternion_w(self) -> float:
        """Scalar part of the device's attitude quaternion (body to reference)."""
    @property
    def est_quaternion_x(self) -> float:
        """X of the vector part of the attitude quaternion."""
    @property
    def est_quaternion_y(self) -> float:
        """Y of the vector part of the attitude quaternion."""
    @property
    def est_quaternion_z(self) -> float:
        """Z of the vector part of the attitude quaternion."""

@final
class DeviceProtocol:
    """Represents the communication protocol used by the VYRE device.

    Four members, compared by value with each other and with ints
    (``DeviceProtocol.UART == 2``); not ordered and not hashable (no set
    members or dict keys: use ``int(p)`` as the key). ``repr`` and ``str``
    give ``"DeviceProtocol.UART"``. The class cannot be called; use its
    members.
    """

    USB: ClassVar[DeviceProtocol]
    """USB, value 1 (also what a device reports for an unknown protocol byte)."""
    UART: ClassVar[DeviceProtocol]
    """UART, value 2."""
    I2C: ClassVar[DeviceProtocol]
    """I2C, value 3."""
    SPI: ClassVar[DeviceProtocol]
    """SPI, value 4."""
    __hash__: ClassVar[None]  # type: ignore[assignment]
    """None: members are not hashable."""
    def __eq__(self, value: object, /) -> bool:
        """Equal to a member of the same value or an int equal to the value."""
    def __ne__(self, value: object, /) -> bool:
        """The opposite of ``==``."""
    def __int__(self) -> int:
        """The member's value, 1 to 4."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling support: a pickled member loads as the class member of the
        same value."""
    def __copy__(self) -> Self:
        """The member itself: members are immutable."""
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self:
        """As :meth:`__copy__` (the values hold no other objects)."""

@final
class DeviceInfo:
    """Represents the information of the VYRE device.

    Returned by :meth:`VYREClient.get_device_info`; a copy that never touches
    the device (attributes can be changed locally; deleting one raises
    AttributeError "can't delete attribute").
    """

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling support: a pickle loads as a new instance with exactly the
        same values (texts as the bytes the device sent, floats bit for bit)."""
    def __copy__(self) -> Self:
        """A new, independent instance holding the same values."""
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self:
        """As :meth:`__copy__` (the values hold no other objects)."""
    @property
    def firmware_version(self) -> str:
        """The firmware version text (at most 8 bytes on the wire)."""
    @firmware_version.setter
    def firmware_version(self, value: str) -> None: ...
    @property
    def id(self) -> int:
        """The device's 64-bit identifier, 0 to 2**64 - 1."""
    @id.setter
    def id(self, value: SupportsIndex) -> None: ...

@final
class DeviceConfig:
    """Represents the configuration settings of the VYRE device.

    Returned by :meth:`VYREClient.get_device_config`; a local copy. To change
    the device, pass the values to :meth:`VYREClient.set_device_config`.
    Setters refuse wrong types with TypeError "argument '{name}': ...".
    """

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling support: a pickle loads as a new instance with exactly the
        same values (texts as the bytes the device sent, floats bit for bit)."""
    def __copy__(self) -> Self:
        """A new, independent instance holding the same values."""
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self:
        """As :meth:`__copy__` (the values hold no other objects)."""
    @property
    def name(self) -> str:
        """The device name (at most 32 bytes on the wire)."""
    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def frequency(self) -> int:
        """The telemetry frequency, 0 to 65535 (OverflowError outside)."""
    @frequency.setter
    def frequency(self, value: SupportsIndex) -> None: ...
    @property
    def protocol(self) -> DeviceProtocol:
        """The communication protocol; a new :class:`DeviceProtocol` object each
        read (equal to the class member, not the same object). Setting an int
        raises TypeError."""
    @protocol.setter
    def protocol(self, value: DeviceProtocol) -> None: ...

@final
class CalibrationValues:
    """Represents the calibration values for the VYRE device. All matrices
    are stored in row-major order.

    Returned by :meth:`VYREClient.get_calibration`; a local copy. Offsets are
    lists of 3 floats, matrices flat lists of 9 (row-major), all single
    precision. Each read returns a new list (changing it changes nothing);
    assigning needs a sequence of exactly 3 or 9 numbers (ValueError
    "expected a sequence of length 3 (got 2)" otherwise).
    """

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling support: a pickle loads as a new instance with exactly the
        same values (texts as the bytes the device sent, floats bit for bit)."""
    def __copy__(self) -> Self:
        """A new, independent instance holding the same values."""
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self:
        """As :meth:`__copy__` (the values hold no other objects)."""
    @property
    def imu_accelerometer_offsets(self) -> list[float]:
        """Accelerometer offsets, 3 values, g."""
    @imu_accelerometer_offsets.setter
    def imu_accelerometer_offsets(self, value: Sequence[_Float]) -> None: ...
    @property
    def imu_accelerometer_scale_matrix(self) -> list[float]:
        """Accelerometer scale matrix, 9 values, row-major."""
    @imu_accelerometer_scale_matrix.setter
    def imu_accelerometer_scale_matrix(self, value: Sequence[_Float]) -> None: ...
    @property
    def imu_gyroscope_offsets(self) -> list[float]:
        """Gyroscope offsets, 3 values, degrees per second."""
    @imu_gyroscope_offsets.setter
    def imu_gyroscope_offsets(self, value: Sequence[_Float]) -> None: ...
    @property
    def imu_gyroscope_scale_matrix(self) -> list[float]:
        """Gyroscope scale matrix, 9 values, row-major."""
    @imu_gyroscope_scale_matrix.setter
    def imu_gyroscope_scale_matrix(self, value: Sequence[_Float]) -> None: ...
    @property
    def magnetometer_offsets(self) -> list[float]:
        """Magnetometer (hard-iron) offsets, 3 values, microteslas."""
    @magnetometer_offsets.setter
    def magnetometer_offsets(self, value: Sequence[_Float]) -> None: ...
    @property
    def magnetometer_scale_matrix(self) -> list[float]:
        """Magnetometer (soft-iron) scale matrix, 9 values, row-major."""
    @magnetometer_scale_matrix.setter
    def magnetometer_scale_matrix(self, value: Sequence[_Float]) -> None: ...
