"""An asyncio service: streams telemetry and asks the device for its
configuration every second, while the event loop stays free for other work.

    python examples/asyncio_service.py /dev/ttyACM0
    python examples/asyncio_service.py --sim --seconds 10
"""

import asyncio
import time

import device_ports
from vyre_tools.aio import AsyncVYREClient


async def stream(client, totals):
    async for batch in client.batches():
        for packet in batch:
            if packet.timestamp_seconds <= totals["last"]:
                totals["out of order"] += 1
            totals["last"] = packet.timestamp_seconds
        totals["packets"] += len(batch)


async def ask_periodically(client, totals, period=1.0):
    while True:
        started = time.monotonic()
        config = await client.get_device_config(2.0)
        took = (time.monotonic() - started) * 1000
        said = f"{config.name} at {config.frequency} Hz" if config else "no answer"
        packets = totals["packets"]
        print(f"config: {said} ({took:.1f} ms), {packets} packets so far", flush=True)
        totals["answers"] += config is not None
        await asyncio.sleep(period)


async def main(args, port):
    totals = {"packets": 0, "answers": 0, "out of order": 0, "last": float("-inf")}
    async with AsyncVYREClient.open(port) as client:
        tasks = [
            asyncio.create_task(stream(client, totals)),
            asyncio.create_task(ask_periodically(client, totals)),
        ]
        try:
            await asyncio.wait_for(asyncio.gather(*tasks), args.seconds)
        except TimeoutError:
            pass  # the time given is up: the tasks were cancelled
    packets, late = totals["packets"], totals["out of order"]
    print(f"{packets} packets ({late} out of order), {totals['answers']} answers")


if __name__ == "__main__":
    arguments = device_ports.parse(__doc__.splitlines()[0])
    with device_ports.ports(arguments) as (port_name,):
        asyncio.run(main(arguments, port_name))
