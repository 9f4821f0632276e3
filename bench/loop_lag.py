#!/usr/bin/env python3
"""Event-loop lag of an asyncio program using vyre_tools.aio.

    .venv/bin/python bench/loop_lag.py [--stream-seconds 10]

A ticker task sleeps 1 ms at a time and records how late each wake-up is.
Lag is measured while (1) ``get_device_info(5.0)`` waits on a silent device
(a pseudo-terminal nobody writes to) and (2) ``batches()`` takes telemetry
from ``bench/producer.c`` writing 2,300 frames/s one frame per write, where
every frame must arrive, in order; the consumer pauses 0.5 s once, and the
loop's wake-ups by other threads (selector returns with an event) are counted.
Also the lag while a client opens its port (3): ``await
AsyncVYREClient.open(...)``, the ``AsyncVYREClient(...)`` constructor and a
plain ``VYREClient(...)`` made on the loop's thread. For comparison, (0) the
ticker alone, and (1') the same wait made with a plain VYREClient on the
loop's thread.
"""

import argparse
import asyncio
import selectors
import time

import harness
from silent_port import SilentPort
from vyre_client import VYREClient
from vyre_tools.aio import AsyncVYREClient

RATE = 2300
TICK = 0.001


class Ticker:
    def __init__(self):
        self.lags = []
        self._task = None

    async def _run(self):
        loop = asyncio.get_running_loop()
        while True:
            due = loop.time() + TICK
            await asyncio.sleep(TICK)
            self.lags.append(loop.time() - due)

    def __enter__(self):
        self._task = asyncio.get_running_loop().create_task(self._run())
        return self

    def __exit__(self, *exc):
        self._task.cancel()

    def summary(self):
        lags = sorted(self.lags)
        p99 = lags[min(len(lags) - 1, int(0.99 * len(lags)))]
        return (
            f"{len(lags)} ticks, lag p50 {lags[len(lags) // 2] * 1e3:5.2f} ms, "
            f"p99 {p99 * 1e3:5.2f} ms, max {lags[-1] * 1e3:7.2f} ms"
        )


async def alone(seconds):
    with Ticker() as ticker:
        await asyncio.sleep(seconds)
    return ticker


async def silent_command(port_name, plain):
    if plain:
        with VYREClient(port_name) as client:
            with Ticker() as ticker:
                await asyncio.sleep(0.05)
                answer = client.get_device_info(5.0)
                await asyncio.sleep(0.05)
    else:
        async with AsyncVYREClient(port_name) as client:
            with Ticker() as ticker:
                answer = await client.get_device_info(5.0)
    assert answer is None
    return ticker


class CountingSelector(selectors.DefaultSelector):
    """Counts the selects that return an event: the loop woken by another
    thread (time-outs of the ticker's sleeps return none)."""

    wakeups = 0

    def select(self, timeout=None):
        events = super().select(timeout)
        if events:
            CountingSelector.wakeups += 1
        return events


async def opening(port_name, how):
    with Ticker() as ticker:
        await asyncio.sleep(0.02)
        if how == "open":
            client = await AsyncVYREClient.open(port_name)
        elif how == "constructor":
            client = AsyncVYREClient(port_name)
        else:
            client = VYREClient(port_name)
        await asyncio.sleep(0.02)
    if how != "plain":
        await client.aclose()
    return ticker


async def streaming(port_name, producer, frames):
    received = 0
    batches = 0
    pause_at = frames // 3
    after_pause = None
    async with AsyncVYREClient(port_name) as client:
        with Ticker() as ticker:
            producer.go(frames)
            started, woken = time.monotonic(), CountingSelector.wakeups
            async for batch in client.batches():
                batches += 1
                if after_pause == "pausing":
                    after_pause = len(batch)
                for packet in batch:
                    # the producer's frame k carries k mod 4096 milliseconds
                    if round(packet.timestamp_seconds * 1000) != received % 4096:
                        raise SystemExit(f"frame {received} out of order: {packet.timestamp_seconds}")
                    received += 1
                if after_pause is None and received >= pause_at:
                    after_pause = "pausing"
                    paused_woken = CountingSelector.wakeups
                    await asyncio.sleep(0.5)
                    paused_woken = CountingSelector.wakeups - paused_woken
                if received >= frames:
                    break
            elapsed, woken = time.monotonic() - started, CountingSelector.wakeups - woken
    return ticker, received, batches, woken / elapsed, paused_woken, after_pause


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stream-seconds", type=float, default=10.0)
    args = parser.parse_args()
    print(harness.machine())
    print(f"ticker alone, 2 s:                         {asyncio.run(alone(2.0)).summary()}")
    with SilentPort() as port:
        print(
            f"get_device_info(5.0), silent, aio client:  "
            f"{asyncio.run(silent_command(port.port_name, plain=False)).summary()}"
        )
        print(
            f"get_device_info(5.0), silent, VYREClient:  "
            f"{asyncio.run(silent_command(port.port_name, plain=True)).summary()}"
        )
        for how, label in [
            ("open", "await AsyncVYREClient.open()"),
            ("constructor", "AsyncVYREClient()"),
            ("plain", "VYREClient() on the loop"),
        ]:
            print(f"opening, {label:29s} {asyncio.run(opening(port.port_name, how)).summary()}")
    frames = int(RATE * args.stream_seconds)
    with harness.CBuild() as build:
        producer = harness.Producer(build, frames, rate=RATE)
        try:
            ticker, received, batches, wakeups, paused_woken, after_pause = asyncio.run(
                streaming(producer.port_name, producer, frames),
                loop_factory=lambda: asyncio.SelectorEventLoop(CountingSelector()),
            )
            written = producer.result()
        finally:
            producer.close()
    print(
        f"{RATE} frames/s for {args.stream_seconds:g} s, aio batches(): {ticker.summary()}; "
        f"{received} of {written['frames']} frames, all in order"
    )
    print(
        f"  {batches} batches, loop woken {wakeups:.0f} times/s by other threads; a 0.5 s pause: "
        f"{paused_woken} wake-ups during it, then one batch of {after_pause} packets"
    )


if __name__ == "__main__":
    main()
