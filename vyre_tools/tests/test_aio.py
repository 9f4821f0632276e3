"""The asyncio client against the simulator and the mock device."""

import asyncio
import threading
import time

import pytest

from vyre_client import DeviceInfo, VYREClient
from vyre_tools.aio import AsyncVYREClient

CANCEL = 255


def worker_threads():
    return [t for t in threading.enumerate() if t.name == "vyre-aio-client"]


@pytest.mark.parametrize("sim", [{"rate": 1000}], indirect=True)
def test_commands_and_batches_in_order_on_a_live_device(sim):
    async def main():
        async with AsyncVYREClient(sim.port_name) as client:
            assert await client.is_running()
            info, config = await asyncio.gather(client.get_device_info(10), client.get_device_config(10))
            assert isinstance(info, DeviceInfo) and config.name == "VYRE-SIM"
            stamps = []
            async for batch in client.batches():
                stamps += [p.timestamp_seconds for p in batch]
                if len(stamps) >= 300:
                    break
            async for batch in client.batches(arrays=True):
                assert batch.dtype.names[0] == "timestamp_seconds"
                stamps += list(batch["timestamp_seconds"])
                if len(stamps) >= 600:
                    break
            return stamps
    stamps = asyncio.run(main())
    assert stamps == sorted(stamps) and len(set(stamps)) == len(stamps)
    assert worker_threads() == []


def test_cancelling_a_waiting_call_frees_the_client_at_once():
    async def main():
        client, device = AsyncVYREClient.new_mock()
        async with client:
            waiting = asyncio.create_task(client.get_device_info(60))
            await asyncio.sleep(0.2)
            waiting.cancel()
            started = time.monotonic()
            with pytest.raises(asyncio.CancelledError):
                await waiting
            assert await device.wait_for_command_identifier(10) == 1
            await device.inject_response(CANCEL, b"\x01")
            assert await client.cancel(10) is True
            return time.monotonic() - started
    assert asyncio.run(main()) < 10  # not the 60 s the call would have waited


@pytest.mark.parametrize("call, error, text", [
    (lambda c: c.get_device_info(-1), BaseException, "value is negative"),
    (lambda c: c.get_data_packets(block=1), TypeError, "block"),
    (lambda c: c.set_device_config("x", 70000, 1), OverflowError, "out of range"),
    (lambda c: c.get_data_packets(block=True), OSError, "timed out waiting on channel"),
])
def test_calls_fail_as_the_client_s_own(call, error, text):
    async def main():
        client, _ = AsyncVYREClient.new_mock()
        async with client:
            with pytest.raises(error, match=text) as raised:
                await call(client)
        with pytest.raises(RuntimeError, match="closed"):
            await client.start()
        return raised.type
    sync_client, _ = VYREClient.new_mock()
    with pytest.raises(BaseException) as direct:
        asyncio.run(call(_Sync(sync_client)))
    assert asyncio.run(main()) is direct.type


class _Sync:
    """The plain client behind the same awaitable calls, to compare exceptions."""

    def __init__(self, client):
        self._client = client

    def __getattr__(self, name):
        method = getattr(self._client, name)

        async def call(*args, **kwargs):
            return method(*args, **kwargs)
        return call


def test_closing_the_loop_with_a_client_open_stops_it():
    loop = asyncio.new_event_loop()
    client, _ = AsyncVYREClient.new_mock()
    loop.run_until_complete(client.start())
    assert len(worker_threads()) == 1
    loop.close()
    for thread in worker_threads():
        thread.join(10)
    assert worker_threads() == []
