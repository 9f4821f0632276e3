#!/usr/bin/env python3
"""Event-loop lag of an asyncio program using vyre_tools.aio.

    .venv/bin/python bench/loop_lag.py [--stream-seconds 10]

A ticker task sleeps 1 ms at a time and records how late each wake-up is.
Lag is measured while (1) ``get_device_info(5.0)`` waits on a silent device
(a pseudo-terminal nobody writes to) and (2) ``batches()`` takes telemetry
from ``bench/producer.c`` writing 2,300 frames/s one frame per write, where
every frame must arrive, in order. For comparison, (0) the ticker alone, and
(1') the same wait made with a plain VYREClient on the loop's thread.
"""

import argparse
import asyncio
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
        return f"{len(lags)} ticks, lag p50 {lags[len(lags) // 2] * 1e3:5.2f} ms, " \
               f"p99 {p99 * 1e3:5.2f} ms, max {lags[-1] * 1e3:7.2f} ms"


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


async def streaming(port_name, producer, frames):
    received = 0
    async with AsyncVYREClient(port_name) as client:
        with Ticker() as ticker:
            producer.go(frames)
            async for batch in client.batches():
                for packet in batch:
                    # the producer's frame k carries k mod 4096 milliseconds
                    if round(packet.timestamp_seconds * 1000) != received % 4096:
                        raise SystemExit(f"frame {received} out of order: {packet.timestamp_seconds}")
                    received += 1
                if received >= frames:
                    break
    return ticker, received


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stream-seconds", type=float, default=10.0)
    args = parser.parse_args()
    print(harness.machine())
    print(f"ticker alone, 2 s:                         {asyncio.run(alone(2.0)).summary()}")
    with SilentPort() as port:
        print(f"get_device_info(5.0), silent, aio client:  "
              f"{asyncio.run(silent_command(port.port_name, plain=False)).summary()}")
        print(f"get_device_info(5.0), silent, VYREClient:  "
              f"{asyncio.run(silent_command(port.port_name, plain=True)).summary()}")
    frames = int(RATE * args.stream_seconds)
    with harness.CBuild() as build:
        producer = harness.Producer(build, frames, rate=RATE)
        try:
            ticker, received = asyncio.run(streaming(producer.port_name, producer, frames))
            written = producer.result()
        finally:
            producer.close()
    print(f"{RATE} frames/s for {args.stream_seconds:g} s, aio batches(): {ticker.summary()}; "
          f"{received} of {written['frames']} frames, all in order")


if __name__ == "__main__":
    main()
