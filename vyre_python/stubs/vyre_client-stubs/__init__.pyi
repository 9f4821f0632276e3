"""Type stubs for the vyre_client extension module."""

from collections.abc import Callable, Sequence
from types import TracebackType
from typing import ClassVar, Final, Self, SupportsFloat, SupportsIndex, final

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

_Float = SupportsFloat | SupportsIndex

@final
class VYREClient:
    def __new__(cls, port_name: str, baud_rate: SupportsIndex | None = 2000000, timeout: _Float | None = 0.1) -> Self: ...
    @staticmethod
    def new_mock(timeout: _Float = 0.1) -> tuple[VYREClient, MockDeviceHandle]: ...
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

        Raises:
            OSError: the port's device has already gone ("Serial port
                disconnected (hang-up)"); the client stays stopped.
        """
    def stop(self) -> None: ...
    def is_running(self) -> bool: ...
    def ensure_ok(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> None: ...
    def get_data_packets(self, block: bool = False) -> list[VYREDataPacket]:
        """Every telemetry packet received since the last call, oldest first.

        With ``block=True``, waits up to the client's ``timeout`` (seconds) for at
        least one. The wait ends at once when the link fails (the device is
        unplugged, say), raising OSError with that failure's text
        ("Serial port disconnected (hang-up)"), which is then not raised again.
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
                256 unclaimed answers of one kind), oldest first.
            packets_delivered: telemetry packets handed out of the packet queue
                to the caller (by ``get_data_packets`` and ``get_data_array``).
            packets_waiting: telemetry packets in the packet queue, not handed
                out yet. ``telemetry_frames`` is never less than
                ``packets_delivered + packets_waiting``; on a stopped client
                they are equal.
            read_errors: reads from the port that failed; each ends the reader
                with that error (see ``ensure_ok``).
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
        whose frames one read completed share it. The host time is found here
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
        """
    def get_device_info(self, timeout_seconds: _Float = 5.0) -> DeviceInfo | None:
        """The device's identity, or None when no answer came within
        `timeout_seconds` seconds.

        Like every command, the wait ends at once when the link fails, raising
        OSError with the failure's text, once. Answers the device sends without
        being asked are kept per kind, at most 256 of each (the oldest go first);
        the next call of that kind claims the oldest.
        """
    def get_device_config(self, timeout_seconds: _Float = 5.0) -> DeviceConfig | None: ...
    def set_device_config(
        self, name: str, frequency: SupportsIndex, protocol: DeviceProtocol, timeout_seconds: _Float = 5.0
    ) -> bool: ...
    def get_calibration(self, timeout_seconds: _Float = 5.0) -> CalibrationValues | None: ...
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
        """
    def reboot(self) -> None: ...
    def cancel(self, timeout_seconds: _Float = 5.0) -> bool: ...
    def start_mock_log_stream(
        self,
        log_path: str,
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
        """
    def stop_mock_log_stream(self, cancel_device: bool = True, block: bool = True) -> int | None: ...
    def is_mock_log_streaming(self) -> bool: ...
    def mock_frames_waiting(self) -> int:
        """Mock-log frames queued for the port and not yet written to it.

        The reader writes a long replay a slice at a time and commands overtake
        the mock frames still queued, so a script that must follow a replay with
        a command (a ``cancel``, say) waits until this is 0 after the stream has
        ended. Counts since the last ``stop``, which discards what was queued.
        """

@final
class MockDeviceHandle:
    release_gil: bool
    """Whether ``wait_for_command_identifier`` lets other Python threads run while
    it waits (lock taken back about every 50 ms for the signal check). Starts as
    ``VYREClient.set_default_release_gil`` says (False by default); only a bool
    is accepted.
    """
    def inject_response(self, identifier: SupportsIndex, payload: bytes | bytearray | Sequence[SupportsIndex]) -> None: ...
    def wait_for_command_identifier(self, timeout_seconds: _Float) -> int | None:
        """The identifier of the next whole frame the client wrote, waiting up to
        `timeout_seconds` seconds for one (a frame already written is returned even
        for 0); None if none came in time. A frame that does not decode raises
        OSError, on this call and every later one.

        Raises RuntimeError "Already borrowed" when called again on the same handle
        during its wait, as from a signal handler; that exception then ends the
        outer wait too unless the handler catches it.
        """

@final
class VYREDataPacket:
    """Represents processed telemetry with derived fields included."""

    __struct_fields__: ClassVar[list[str]]
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
    ) -> Self: ...
    @staticmethod
    def default_zero() -> VYREDataPacket: ...
    def as_dict(self) -> dict[str, float]: ...
    @property
    def timestamp_seconds(self) -> float: ...
    @property
    def temperature_celsius(self) -> float: ...
    @property
    def pressure_pascals(self) -> float: ...
    @property
    def raw_acceleration_x_gs(self) -> float: ...
    @property
    def raw_acceleration_y_gs(self) -> float: ...
    @property
    def raw_acceleration_z_gs(self) -> float: ...
    @property
    def raw_rotated_acceleration_x_gs(self) -> float: ...
    @property
    def raw_rotated_acceleration_y_gs(self) -> float: ...
    @property
    def raw_rotated_acceleration_z_gs(self) -> float: ...
    @property
    def est_tilt_angle_degrees(self) -> float: ...
    @property
    def raw_angular_rate_x_deg_per_s(self) -> float: ...
    @property
    def raw_angular_rate_y_deg_per_s(self) -> float: ...
    @property
    def raw_angular_rate_z_deg_per_s(self) -> float: ...
    @property
    def magnetic_field_x_microteslas(self) -> float: ...
    @property
    def magnetic_field_y_microteslas(self) -> float: ...
    @property
    def magnetic_field_z_microteslas(self) -> float: ...
    @property
    def est_position_z_meters(self) -> float: ...
    @property
    def est_velocity_z_meters_per_s(self) -> float: ...
    @property
    def est_mach_number(self) -> float: ...
    @property
    def est_quaternion_w(self) -> float: ...
    @property
    def est_quaternion_x(self) -> float: ...
    @property
    def est_quaternion_y(self) -> float: ...
    @property
    def est_quaternion_z(self) -> float: ...

@final
class DeviceProtocol:
    """Represents the communication protocol used by the VYRE device."""

    USB: ClassVar[DeviceProtocol]
    UART: ClassVar[DeviceProtocol]
    I2C: ClassVar[DeviceProtocol]
    SPI: ClassVar[DeviceProtocol]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __int__(self) -> int: ...

@final
class DeviceInfo:
    """Represents the information of the VYRE device."""

    @property
    def firmware_version(self) -> str: ...
    @firmware_version.setter
    def firmware_version(self, value: str) -> None: ...
    @property
    def id(self) -> int: ...
    @id.setter
    def id(self, value: SupportsIndex) -> None: ...

@final
class DeviceConfig:
    """Represents the configuration settings of the VYRE device."""

    @property
    def name(self) -> str: ...
    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def frequency(self) -> int: ...
    @frequency.setter
    def frequency(self, value: SupportsIndex) -> None: ...
    @property
    def protocol(self) -> DeviceProtocol: ...
    @protocol.setter
    def protocol(self, value: DeviceProtocol) -> None: ...

@final
class CalibrationValues:
    """Represents the calibration values for the VYRE device. All matrices
    are stored in row-major order."""

    @property
    def imu_accelerometer_offsets(self) -> list[float]: ...
    @imu_accelerometer_offsets.setter
    def imu_accelerometer_offsets(self, value: Sequence[_Float]) -> None: ...
    @property
    def imu_accelerometer_scale_matrix(self) -> list[float]: ...
    @imu_accelerometer_scale_matrix.setter
    def imu_accelerometer_scale_matrix(self, value: Sequence[_Float]) -> None: ...
    @property
    def imu_gyroscope_offsets(self) -> list[float]: ...
    @imu_gyroscope_offsets.setter
    def imu_gyroscope_offsets(self, value: Sequence[_Float]) -> None: ...
    @property
    def imu_gyroscope_scale_matrix(self) -> list[float]: ...
    @imu_gyroscope_scale_matrix.setter
    def imu_gyroscope_scale_matrix(self, value: Sequence[_Float]) -> None: ...
    @property
    def magnetometer_offsets(self) -> list[float]: ...
    @magnetometer_offsets.setter
    def magnetometer_offsets(self, value: Sequence[_Float]) -> None: ...
    @property
    def magnetometer_scale_matrix(self) -> list[float]: ...
    @magnetometer_scale_matrix.setter
    def magnetometer_scale_matrix(self, value: Sequence[_Float]) -> None: ...
