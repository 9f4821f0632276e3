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
import time
import weakref

from vyre_client import VYREClient

from .worker import ClientWorker


def _method(name):
    return lambda client, _handle, *args, **kwargs: getattr(client, name)(*args, **kwargs)


class _Proxy:
    """Calls of the owner thread's objects, awaited on the running loop."""

    def __init__(self, worker):
        self._worker = worker

    async def _call(self, call, *args, **kwargs):
        loop = asyncio.get_running_loop()
        return await self._worker.submit(lambda client, handle: call(client, handle, *args, **kwargs), loop)


class AsyncVYREClient(_Proxy):
    """``AsyncVYREClient(port_name, baud_rate=2000000, timeout=0.1)``: opens the
    port now (OSError as ``VYREClient`` raises it); ``async with`` starts the
    client and, on the way out, stops it and ends its thread (``aclose``)."""

    def __init__(self, port_name, baud_rate=2000000, timeout=0.1):
        self._adopt(ClientWorker(lambda: (VYREClient(port_name, baud_rate, timeout), None)))

    @classmethod
    def new_mock(cls, timeout=0.1):
        """``(AsyncVYREClient, AsyncMockDeviceHandle)`` on a fresh mock device."""
        client = cls.__new__(cls)
        worker = ClientWorker(lambda: VYREClient.new_mock(timeout))
        client._adopt(worker)
        return client, AsyncMockDeviceHandle(worker)

    def _adopt(self, worker):
        super().__init__(worker)
        self._batches = None     # (loop, queue of (batch, error)) of the iterations
        self._iterations = 0
        # a client dropped without aclose still has its thread stop it and end
        weakref.finalize(self, worker.close)

    async def __aenter__(self):
        await self.start()
        return self

    async def __aexit__(self, *exc):
        await self.aclose()

    async def aclose(self):
        """Ends a mock stream, stops the client and ends its thread; later calls
        raise RuntimeError. Nothing happens when it is closed already."""
        loop = asyncio.get_running_loop()
        ended = loop.create_future()
        self._worker.when_ended(loop, ended)
        self._worker.close_soon()
        await ended
        self._worker.join()

    async def batches(self, arrays=False):
        """Telemetry as it comes: lists of packets, oldest first (numpy
        structured arrays with ``arrays=True``, as ``get_data_array``). A
        background error is raised here and ends the iteration. Meant for one
        consumer at a time: batches taken for an iteration left early (a
        ``break``) come first in the next one, as they were taken. Packets that
        come while nobody iterates wait in the client's queue, as with
        ``VYREClient``."""
        worker = self._worker
        loop = asyncio.get_running_loop()
        if self._batches is None or self._batches[0] is not loop:
            self._batches = (loop, asyncio.Queue())
        queue = self._batches[1]
        self._iterations += 1
        worker.stream = (loop, lambda batch, error: queue.put_nowait((batch, error)), arrays)
        worker.wake()
        try:
            while True:
                batch, error = await queue.get()
                if error is not None:
                    raise error
                yield batch
        finally:
            # an iteration left early is finalized later, maybe after the next began
            self._iterations -= 1
            if not self._iterations:
                worker.stream = None

    async def start(self):
        return await self._call(_method("start"))

    async def stop(self):
        return await self._call(_method("stop"))

    async def is_running(self):
        return await self._call(_method("is_running"))

    async def ensure_ok(self):
        return await self._call(_method("ensure_ok"))

    async def get_data_packets(self, block=False):
        return await self._call(_method("get_data_packets"), block)

    async def get_data_array(self, block=False):
        return await self._call(_method("get_data_array"), block)

    async def link_statistics(self):
        return await self._call(_method("link_statistics"))

    async def clock_sync(self):
        return await self._call(_method("clock_sync"))

    async def get_device_info(self, timeout_seconds=5.0):
        return await self._call(_method("get_device_info"), timeout_seconds)

    async def get_device_config(self, timeout_seconds=5.0):
        return await self._call(_method("get_device_config"), timeout_seconds)

    async def set_device_config(self, name, frequency, protocol, timeout_seconds=5.0):
        return await self._call(_method("set_device_config"), name, frequency, protocol, timeout_seconds)

    async def get_calibration(self, timeout_seconds=5.0):
        return await self._call(_method("get_calibration"), timeout_seconds)

    async def set_imu_calibration(self, accel_offsets, accel_scale_matrix, gyro_offsets, gyro_scale_matrix,
                                  timeout_seconds=5.0):
        return await self._call(_method("set_imu_calibration"), accel_offsets, accel_scale_matrix,
                                gyro_offsets, gyro_scale_matrix, timeout_seconds)

    async def set_magnetometer_calibration(self, offsets, scale_matrix, timeout_seconds=5.0):
        return await self._call(_method("set_magnetometer_calibration"), offsets, scale_matrix, timeout_seconds)

    async def reboot(self):
        return await self._call(_method("reboot"))

    async def cancel(self, timeout_seconds=5.0):
        return await self._call(_method("cancel"), timeout_seconds)

    async def run_and_apply_magnetometer_calibration(self, collection_duration_seconds, apply_timeout_seconds=5.0):
        return await self._call(_method("run_and_apply_magnetometer_calibration"),
                                collection_duration_seconds, apply_timeout_seconds)

    async def start_mock_log_stream(self, log_path, realtime=True, speed=1.0, chunk_size=8192,
                                    start_timeout_seconds=5.0, cancel_on_finish=True):
        return await self._call(_method("start_mock_log_stream"), log_path, realtime, speed, chunk_size,
                                start_timeout_seconds, cancel_on_finish)

    async def stop_mock_log_stream(self, cancel_device=True, block=True):
        return await self._call(_method("stop_mock_log_stream"), cancel_device, block)

    async def is_mock_log_streaming(self):
        return await self._call(_method("is_mock_log_streaming"))

    async def mock_frames_waiting(self):
        return await self._call(_method("mock_frames_waiting"))


# The handle's wait runs in slices this long, so a cancelled one ends soon.
HANDLE_WAIT_SLICE = 0.05


def _wait_for_command(handle, timeout_seconds, abandoned):
    started = time.monotonic()
    try:
        first = min(timeout_seconds, HANDLE_WAIT_SLICE)
    except TypeError:  # not a number: the handle's own TypeError
        return handle.wait_for_command_identifier(timeout_seconds)
    identifier = handle.wait_for_command_identifier(first)  # a bad number fails as the handle's
    end = started + float(timeout_seconds)
    while identifier is None and not abandoned():
        left = end - time.monotonic()
        if left <= 0:
            break
        identifier = handle.wait_for_command_identifier(min(left, HANDLE_WAIT_SLICE))
    return identifier


class AsyncMockDeviceHandle(_Proxy):
    """The mock device of ``AsyncVYREClient.new_mock()``; its calls run on the
    client's thread, in turn with the client's."""

    async def inject_response(self, identifier, payload):
        return await self._call(lambda _client, handle: handle.inject_response(identifier, payload))

    async def wait_for_command_identifier(self, timeout_seconds):
        return await self._call(lambda _client, handle: _wait_for_command(
            handle, timeout_seconds, self._worker.current_abandoned))
