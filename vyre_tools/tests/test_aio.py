"""The asyncio client against the simulator and the mock device."""

import asyncio
import re
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


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda c: c.get_device_info(-1), BaseException, "value is negative"),
        (lambda c: c.get_data_packets(block=1), TypeError, "block"),
        (lambda c: c.set_device_config("x", 70000, 1), OverflowError, "out of range"),
        (lambda c: c.get_data_packets(block=True), OSError, "timed out waiting on channel"),
    ],
)
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


async def consuming(client):
    """A task taking ``client``'s batches, once the first has come."""
    first = asyncio.Event()

    async def consume():
        async for _ in client.batches():
            first.set()

    consumer = asyncio.create_task(consume())
    await asyncio.wait_for(first.wait(), 10)
    return consumer


def test_batches_end_when_the_client_closes_and_at_once_on_a_closed_client(sim):
    async def main():
        client = AsyncVYREClient(sim.port_name)
        await client.start()
        consumer = await consuming(client)
        await client.aclose()
        await asyncio.wait_for(consumer, 10)
        return await asyncio.wait_for(anext(client.batches(), "ended"), 10)

    assert asyncio.run(main()) == "ended"


@pytest.mark.parametrize("sim", [{"rate": 500}], indirect=True)
@pytest.mark.parametrize("arrays", [False, True], ids=["packets", "arrays"])
def test_a_cancelled_take_loses_no_packet(sim, arrays):
    def stamps(batch):
        return list(batch["timestamp_seconds"]) if arrays else [p.timestamp_seconds for p in batch]

    async def main():
        # a blocking take waits for the client's time-out: a loaded machine's
        # device may pause longer than the default tenth of a second
        async with AsyncVYREClient(sim.port_name, timeout=10.0) as client:
            take = client.get_data_array if arrays else client.get_data_packets
            got = stamps(await take(block=True))
            for _ in range(5):
                task = asyncio.create_task(take(block=True))
                await asyncio.sleep(0)  # queued for the worker
                # the loop busy (a slow callback) while the worker takes packets
                time.sleep(0.05)
                task.cancel()
                await asyncio.gather(task, return_exceptions=True)
                got += stamps(await take(block=True))
            return got

    got = asyncio.run(main())
    steps = [b - a for a, b in zip(got, got[1:])]
    assert len(got) > 100 and max(steps) < 1.5 / 500, "packets went missing"


@pytest.mark.parametrize("opening", ["constructor", "open"])
def test_a_client_whose_loop_closes_before_any_call_stops_and_frees_the_port(sim, opening):
    async def make():
        if opening == "open":
            return await AsyncVYREClient.open(sim.port_name)
        return AsyncVYREClient(sim.port_name)

    loop = asyncio.new_event_loop()
    client = loop.run_until_complete(make())
    loop.close()
    for thread in worker_threads():
        thread.join(10)
    assert worker_threads() == []
    VYREClient(sim.port_name)  # the port is free again
    del client


def test_the_port_opens_on_the_worker_while_the_loop_runs(sim):
    async def main():
        opening = asyncio.ensure_future(AsyncVYREClient.open(sim.port_name))
        await asyncio.sleep(0)  # the open has begun
        assert not opening.done()  # and the loop has control back
        opening.cancel()  # a cancelled open closes what it opened
        with pytest.raises(asyncio.CancelledError):
            await opening
        async with AsyncVYREClient.open(sim.port_name) as client:
            return await client.is_running()

    assert asyncio.run(main()) is True
    for thread in worker_threads():
        thread.join(10)
    assert worker_threads() == []


@pytest.mark.parametrize(
    "give_up",
    [
        lambda client: client.get_device_config(0.05),
        lambda client: asyncio.wait_for(client.get_device_config(60), 0.1),
    ],
    ids=["timed-out", "cancelled"],
)
def test_an_abandoned_call_s_late_answer_is_not_the_next_call_s(sim, give_up):
    async def main():
        async with AsyncVYREClient(sim.port_name) as client:
            config = await client.get_device_config(10)
            sim.set_answer_delay(0.4)
            try:
                assert await give_up(client) is None
            except TimeoutError:
                pass
            assert await client.set_device_config("LATER", config.frequency, config.protocol, 10)
            return await client.get_device_config(10)

    assert asyncio.run(main()).name == "LATER"


@pytest.mark.parametrize("sim", [{"rate": 2000}], indirect=True)
def test_a_paused_consumer_gets_what_came_meanwhile_in_one_batch(sim):
    async def main():
        async with AsyncVYREClient(sim.port_name) as client:
            sizes = []
            async for batch in client.batches():
                sizes.append(len(batch))
                if len(sizes) == 3:
                    await asyncio.sleep(0.5)  # the consumer pauses
                if len(sizes) == 4:
                    return sizes

    sizes = asyncio.run(main())
    assert sizes[3] >= 0.3 * 2000  # the pause's packets came together


def test_dropping_an_open_client_on_the_loop_does_not_wait_for_its_thread():
    async def main():
        client, _ = AsyncVYREClient.new_mock()
        await client.start()
        [thread] = worker_threads()
        del client  # its thread is asked to stop the client and end, not waited for
        return thread, thread.is_alive()

    thread, alive_after_drop = asyncio.run(main())
    assert alive_after_drop
    thread.join(10)
    assert not thread.is_alive()


async def _open_in_with(port):
    async with AsyncVYREClient.open(port) as client:
        return client


@pytest.mark.parametrize(
    "opening",
    [
        lambda port: _constructed(port),
        lambda port: AsyncVYREClient.open(port),
        _open_in_with,
    ],
    ids=["constructor", "await-open", "async-with-open"],
)
def test_an_open_that_fails_raises_the_client_s_error_and_leaves_no_thread(opening):
    async def main():
        with pytest.raises(OSError, match="^Serial port '/dev/does-not-exist' not found"):
            await asyncio.wait_for(opening("/dev/does-not-exist"), 10)

    asyncio.run(main())
    assert worker_threads() == []


async def _constructed(port):
    return AsyncVYREClient(port)


def test_a_hang_up_a_command_reports_first_still_fails_batches_and_takes(sim):
    async def main():
        async with AsyncVYREClient(sim.port_name) as client:
            consumer = await consuming(client)
            sim.set_silent(True)
            command = asyncio.create_task(client.get_device_info(30))
            while sim.status()["commands_by_id"].get("1") != 1:  # the command waits
                await asyncio.sleep(0.01)
            sim.hang_up()
            with pytest.raises(ConnectionResetError, match="hang-up"):
                await asyncio.wait_for(command, 10)
            # the report went to the command; the consumer and later takes learn all the same
            with pytest.raises(ConnectionResetError, match="hang-up"):
                await asyncio.wait_for(consumer, 10)
            with pytest.raises(ConnectionResetError, match="hang-up"):
                await asyncio.wait_for(anext(client.batches()), 10)
            assert isinstance(await client.link_failure(), ConnectionResetError)

    asyncio.run(main())


@pytest.mark.parametrize("sim", [{"silent": True, "rate": 0}], indirect=True)
def test_closing_fails_a_waiting_command_with_a_public_error(sim):
    async def main():
        client = AsyncVYREClient(sim.port_name)
        await client.start()
        waiting = asyncio.create_task(client.get_device_info(60))
        while sim.status()["commands_by_id"].get("1") != 1:  # the command waits
            await asyncio.sleep(0.01)
        await client.aclose()
        with pytest.raises(
            RuntimeError, match=rf"^AsyncVYREClient\('{re.escape(sim.port_name)}'\) is closed$"
        ):
            await asyncio.wait_for(waiting, 10)

    asyncio.run(main())
