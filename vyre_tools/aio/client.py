# The calls run untyped on the worker; each returns what its VYREClient method does.
# mypy: disable-error-code="no-any-return"
"""AsyncVYREClient: the VYRE client for asyncio programs.

Every command, the mock-stream and calibration methods are awaitable versions
of ``VYREClient``'s, with the same names, arguments, results and exceptions;
``batches()`` streams the telemetry. The ``VYREClient`` itself lives on a
thread of its own (``worker.py``) with ``release_gil`` on, so the event loop
keeps running while a call waits; calls run one at a time, in the order
made, and batches wait while a call does. Cancelling a task that awaits a
call gives the call's wait up within about 50 ms; closing the loop with the
client open stops it.
"""

import asyncio
import collections
import os
import time
import weakref
from collections.abc import AsyncIterator, Callable, Generator, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, Self, overload

from vyre_client import (
    CalibrationValues,
    DeviceConfig,
    DeviceInfo,
    DeviceProtocol,
    MockDeviceHandle,
    VYREClient,
    VYREDataPacket,
)

from .worker import Abandoned, ClientWorker

if TYPE_CHECKING:
    import numpy as np

    #: A batch as ``get_data_array`` gives it.
    PacketArray = np.ndarray[tuple[int], np.dtype[np.void]]

# what the worker's thread runs: a call of its client and mock handle
_Call = Callable[[VYREClient, MockDeviceHandle | None], Any]


def _method(name: str) -> Callable[..., Any]:
    return lambda client, _handle, *args, **kwargs: getattr(client, name)(*args, **kwargs)


def _running_loop() -> asyncio.AbstractEventLoop | None:
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None


def _port_client(
    port_name: str | os.PathLike[str], baud_rate: int, timeout: float
) -> Callable[[], tuple[VYREClient, None]]:
    def make() -> tuple[VYREClient, None]:
        client = VYREClient(port_name, baud_rate, timeout)
        # an answer that comes after its call was cancelled is no one's
        client.keep_late_answers = False
        # what the device sent before the port was opened is no session's
        client.discard_backlog()
        return client, None

    return make


def _port_label(port_name: str | os.PathLike[str]) -> str:
    """The client as a closed one's RuntimeError names it."""
    try:
        shown: object = os.fspath(port_name)
    except TypeError:  # refused by the open, with the client's own error
        shown = port_name
    return f"AsyncVYREClient({shown!r})"


async def _end(worker: ClientWorker) -> None:
    """Closes the worker and waits, on the loop, for its thread to let go of the
    client; the join then only collects a thread that has finished."""
    loop = asyncio.get_running_loop()
    ended: asyncio.Future[None] = loop.create_future()
    worker.when_ended(loop, ended)
    worker.close_soon()
    await ended
    worker.join()


def _joined(batches: list[Any], arrays: bool) -> Any:
    """One batch of several, oldest first."""
    if len(batches) == 1:
        return batches[0]
    if arrays:
        import numpy  # there are arrays already, so numpy is loaded

        return numpy.concatenate(batches)
    return [packet for batch in batches for packet in batch]


class _Proxy:
    """Calls of the owner thread's objects, awaited on the running loop."""

    def __init__(self, worker: ClientWorker) -> None:
        self._worker = worker

    async def _call(
        self,
        call: Callable[..., Any],
        *args: Any,
        orphan: Callable[[Any], object] | None = None,
        **kwargs: Any,
    ) -> Any:
        loop = asyncio.get_running_loop()
        return await self._worker.submit(
            lambda client, handle: call(client, handle, *args, **kwargs), loop, orphan
        )


class _Opening:
    """What ``AsyncVYREClient.open`` returns: awaited, the client; used with
    ``async with``, the client started, and closed at the end."""

    def __init__(
        self,
        cls: "type[AsyncVYREClient]",
        make: Callable[[], tuple[VYREClient, MockDeviceHandle | None]],
        name: str,
    ) -> None:
        self._cls = cls
        self._make = make
        self._name = name
        self._client: AsyncVYREClient | None = None

    def __await__(self) -> "Generator[Any, None, AsyncVYREClient]":
        return self._cls._open_on_worker(self._make, self._name).__await__()

    async def __aenter__(self) -> "AsyncVYREClient":
        self._client = await self
        return await self._client.__aenter__()

    async def __aexit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        assert self._client is not None  # opened on entry
        await self._client.__aexit__(kind, error, traceback)


class AsyncVYREClient(_Proxy):
    """``AsyncVYREClient(port_name, baud_rate=2000000, timeout=0.1)``: opens the
    port now (OSError as ``VYREClient`` raises it), waiting for the open; on a
    running loop prefer ``await AsyncVYREClient.open(...)``, which lets the loop
    run meanwhile. ``async with`` starts the client and, on the way out, stops
    it and ends its thread (``aclose``).

    A client opened on a port leaves ``keep_late_answers`` off: a command
    returns only an answer that came after it was sent, never the late answer
    of a call that was cancelled or timed out. The mock client keeps it on, as
    its answers are injected before the call that takes them. A client opened
    on a port also calls ``discard_backlog()``: telemetry the device queued
    before the port was opened never reaches ``batches()``.

    A lost link (the device unplugged) fails every ``batches()`` iteration and
    blocking take once what came before it is taken, with the failure
    (``link_failure()``), whichever call reported it first; commands fail
    with "Command channel closed" until ``stop()`` and ``start()``. A call
    waiting when the client is closed raises RuntimeError.

    A client dropped without ``aclose`` (garbage collected), or whose event
    loop is closed, or still open when the interpreter exits, is stopped by its
    own thread, which then ends; the port is released with it."""

    def __init__(
        self, port_name: str | os.PathLike[str], baud_rate: int = 2000000, timeout: float = 0.1
    ) -> None:
        worker = ClientWorker(
            _port_client(port_name, baud_rate, timeout), _running_loop(), _port_label(port_name)
        )
        worker.wait_opened()
        self._adopt(worker)

    @classmethod
    def open(
        cls, port_name: str | os.PathLike[str], baud_rate: int = 2000000, timeout: float = 0.1
    ) -> _Opening:
        """``await AsyncVYREClient.open(port_name, baud_rate=2000000, timeout=0.1)``:
        the client, its port opened on the client's own thread while the loop
        runs (the open takes 50 ms or more); OSError as the constructor. Also
        ``async with AsyncVYREClient.open(...) as client:``, which starts the
        client and closes it at the end. A cancelled open closes what it opened
        before it raises CancelledError (unless cancelled once more)."""
        return _Opening(cls, _port_client(port_name, baud_rate, timeout), _port_label(port_name))

    @classmethod
    async def _open_on_worker(
        cls, make: Callable[[], tuple[VYREClient, MockDeviceHandle | None]], name: str
    ) -> Self:
        worker = ClientWorker(make, asyncio.get_running_loop(), name)
        try:
            await worker.opened(asyncio.get_running_loop())
        except BaseException:
            try:
                await _end(worker)  # the port is free again when this raises
            except asyncio.CancelledError:
                pass  # cancelled once more: the thread ends on its own
            raise
        client = cls.__new__(cls)
        client._adopt(worker)
        return client

    @classmethod
    def new_mock(cls, timeout: float = 0.1) -> "tuple[Self, AsyncMockDeviceHandle]":
        """``(AsyncVYREClient, AsyncMockDeviceHandle)`` on a fresh mock device."""
        client = cls.__new__(cls)
        worker = ClientWorker(
            lambda: VYREClient.new_mock(timeout), _running_loop(), "the AsyncVYREClient of a mock device"
        )
        worker.wait_opened()
        client._adopt(worker)
        return client, AsyncMockDeviceHandle(worker)

    def _adopt(self, worker: ClientWorker) -> None:
        super().__init__(worker)
        # (arrays, batch) taken for a caller that went away, oldest first
        self._leftovers: collections.deque[tuple[bool, Any]] = collections.deque()
        # a client dropped without aclose has its thread stop it and end; never
        # a wait here, as the collector may run on the loop
        weakref.finalize(self, worker.close_soon)

    async def __aenter__(self) -> Self:
        await self.start()
        return self

    async def __aexit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Ends a mock stream, stops the client and ends its thread, without
        blocking the loop; a call still waiting and later calls raise
        RuntimeError naming the client ("AsyncVYREClient('/dev/ttyACM0') is
        closed"; "the AsyncVYREClient of a mock device is closed"), and ``batches()``
        iterations end. Nothing happens when it is closed already."""
        await _end(self._worker)

    def _keep(self, arrays: bool) -> Callable[[Any], None]:
        return lambda batch: self._leftovers.append((arrays, batch))

    def _claim(self, arrays: bool) -> list[Any]:
        """The leftovers of this form, oldest first (the others stay)."""
        mine = [batch for form, batch in self._leftovers if form == arrays]
        if mine:
            self._leftovers = collections.deque(item for item in self._leftovers if item[0] != arrays)
        return mine

    async def _take(self, arrays: bool, block: bool) -> Any:
        name = "get_data_array" if arrays else "get_data_packets"
        if any(form == arrays for form, _ in self._leftovers):
            block = False  # there is something to return already
        batch = await self._call(_method(name), block, orphan=self._keep(arrays))
        # after the wait: a cancelled take's packets are older than these
        return _joined(self._claim(arrays) + [batch], arrays)

    @overload
    def batches(self, arrays: Literal[False] = False) -> AsyncIterator[list[VYREDataPacket]]: ...

    @overload
    def batches(self, arrays: Literal[True]) -> "AsyncIterator[PacketArray]": ...

    @overload
    def batches(self, arrays: bool) -> "AsyncIterator[list[VYREDataPacket] | PacketArray]": ...

    async def batches(self, arrays: bool = False) -> AsyncIterator[Any]:
        """Telemetry as it comes: lists of packets, oldest first (numpy
        structured arrays with ``arrays=True``, as ``get_data_array``). A
        background error is raised here and ends the iteration; so is the
        failure of a lost link that a command reported first (see
        ``link_failure()``). Closing the client (``aclose``, or its loop) ends
        it, and on a closed client it ends at once.

        Flow control: a batch is taken only when the consumer asks for the next
        one, and at most one every 10 ms, so the loop is woken about a hundred
        times a second at most however fast the device sends; a consumer that
        pauses gets everything that came meanwhile in one batch (it waits in
        the client's queue, as with ``VYREClient``). Meant for one consumer at
        a time. Packets taken for a consumer that went away (a cancelled task)
        and by a cancelled ``get_data_packets``/``get_data_array`` come first
        in the next take of the same form (list or array)."""
        worker = self._worker
        while True:
            earlier = self._claim(arrays)
            if earlier:
                yield _joined(earlier, arrays)
                continue
            batch = await worker.want_batch(asyncio.get_running_loop(), arrays, self._keep(arrays))
            if batch is None:
                return
            yield batch

    async def start(self) -> None:
        return await self._call(_method("start"))

    async def stop(self) -> None:
        return await self._call(_method("stop"))

    async def is_running(self) -> bool:
        return await self._call(_method("is_running"))

    async def link_failure(self) -> OSError | None:
        """``VYREClient.link_failure``: the failure the reader ended on (the
        link lost), whichever call reported it; None while the link works."""
        return await self._call(lambda client, _handle: client.link_failure)

    async def discard_backlog(self) -> None:
        """As ``VYREClient``'s (a client opened on a port has done it once already)."""
        return await self._call(_method("discard_backlog"))

    async def ensure_ok(self) -> None:
        return await self._call(_method("ensure_ok"))

    async def get_data_packets(self, block: bool = False) -> list[VYREDataPacket]:
        """As ``VYREClient``'s; packets a cancelled take had already taken come first."""
        return await self._take(False, block)

    async def get_data_array(self, block: bool = False) -> "PacketArray":
        """As ``VYREClient``'s; packets a cancelled take had already taken come first."""
        return await self._take(True, block)

    async def link_statistics(self) -> dict[str, int]:
        return await self._call(_method("link_statistics"))

    async def clock_sync(self) -> dict[str, bool | float | int]:
        return await self._call(_method("clock_sync"))

    async def get_device_info(self, timeout_seconds: float = 5.0) -> DeviceInfo | None:
        return await self._call(_method("get_device_info"), timeout_seconds)

    async def get_device_config(self, timeout_seconds: float = 5.0) -> DeviceConfig | None:
        return await self._call(_method("get_device_config"), timeout_seconds)

    async def set_device_config(
        self, name: str, frequency: int, protocol: DeviceProtocol, timeout_seconds: float = 5.0
    ) -> bool:
        return await self._call(_method("set_device_config"), name, frequency, protocol, timeout_seconds)

    async def get_calibration(self, timeout_seconds: float = 5.0) -> CalibrationValues | None:
        return await self._call(_method("get_calibration"), timeout_seconds)

    async def set_imu_calibration(
        self,
        accel_offsets: Sequence[float],
        accel_scale_matrix: Sequence[float],
        gyro_offsets: Sequence[float],
        gyro_scale_matrix: Sequence[float],
        timeout_seconds: float = 5.0,
    ) -> bool:
        return await self._call(
            _method("set_imu_calibration"),
            accel_offsets,
            accel_scale_matrix,
            gyro_offsets,
            gyro_scale_matrix,
            timeout_seconds,
        )

    async def set_magnetometer_calibration(
        self, offsets: Sequence[float], scale_matrix: Sequence[float], timeout_seconds: float = 5.0
    ) -> bool:
        return await self._call(
            _method("set_magnetometer_calibration"), offsets, scale_matrix, timeout_seconds
        )

    async def reboot(self) -> None:
        return await self._call(_method("reboot"))

    async def cancel(self, timeout_seconds: float = 5.0) -> bool:
        return await self._call(_method("cancel"), timeout_seconds)

    async def run_and_apply_magnetometer_calibration(
        self, collection_duration_seconds: float, apply_timeout_seconds: float = 5.0
    ) -> bool | None:
        return await self._call(
            _method("run_and_apply_magnetometer_calibration"),
            collection_duration_seconds,
            apply_timeout_seconds,
        )

    async def start_mock_log_stream(
        self,
        log_path: str | os.PathLike[str],
        realtime: bool = True,
        speed: float = 1.0,
        chunk_size: int = 8192,
        start_timeout_seconds: float = 5.0,
        cancel_on_finish: bool = True,
    ) -> None:
        return await self._call(
            _method("start_mock_log_stream"),
            log_path,
            realtime,
            speed,
            chunk_size,
            start_timeout_seconds,
            cancel_on_finish,
        )

    async def stop_mock_log_stream(self, cancel_device: bool = True, block: bool = True) -> int | None:
        return await self._call(_method("stop_mock_log_stream"), cancel_device, block)

    async def is_mock_log_streaming(self) -> bool:
        return await self._call(_method("is_mock_log_streaming"))

    async def mock_frames_waiting(self) -> int:
        return await self._call(_method("mock_frames_waiting"))


# The handle's wait runs in slices this long, so a cancelled one ends soon.
HANDLE_WAIT_SLICE = 0.05


def _wait_for_command(
    handle: MockDeviceHandle, timeout_seconds: float, abandoned: Callable[[], bool]
) -> int | None:
    started = time.monotonic()
    try:
        first = min(timeout_seconds, HANDLE_WAIT_SLICE)
    except TypeError:  # not a number: the handle's own TypeError
        return handle.wait_for_command_identifier(timeout_seconds)
    identifier = handle.wait_for_command_identifier(first)  # a bad number fails as the handle's
    end = started + float(timeout_seconds)
    while identifier is None:
        if abandoned():
            raise Abandoned  # no time-out: the wait was cut short
        left = end - time.monotonic()
        if left <= 0:
            break
        identifier = handle.wait_for_command_identifier(min(left, HANDLE_WAIT_SLICE))
    return identifier


class AsyncMockDeviceHandle(_Proxy):
    """The mock device of ``AsyncVYREClient.new_mock()``; its calls run on the
    client's thread, in turn with the client's."""

    async def inject_response(self, identifier: int, payload: bytes | bytearray | Sequence[int]) -> None:
        return await self._call(lambda _client, handle: handle.inject_response(identifier, payload))

    async def wait_for_command_identifier(self, timeout_seconds: float) -> int | None:
        return await self._call(
            lambda _client, handle: _wait_for_command(handle, timeout_seconds, self._worker.current_abandoned)
        )
