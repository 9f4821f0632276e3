"""Other threads while a call waits, and a descriptor to wait on."""

import selectors
import threading
import time

import vyre_client
from vyre_tools.sim import Simulator

# This device answers every command 0.3 s late.
with Simulator.spawn(rate=100, answer_delay=0.3) as sim:
    with vyre_client.VYREClient(sim.port_name) as client:
        ticks = []
        done = threading.Event()

        def tick():  # another Python thread: runs only while it has the lock
            while not done.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.01)

        ticker = threading.Thread(target=tick)
        ticker.start()
        counts = {}
        for release in (False, True):
            client.release_gil = release  # False by default: waits keep the lock
            before = len(ticks)
            client.get_device_config()  # waits about 0.3 s for the answer
            counts[release] = len(ticks) - before
        done.set()
        ticker.join()
        print(
            f"the other thread ran {counts[False]} times during a wait holding the "
            f"lock, {counts[True]} times during one with release_gil = True"
        )

        # fileno(): readable while packets (or an error, or a fresh answer) wait,
        # for selectors, asyncio's add_reader or a GUI's socket notifier.
        client.get_data_packets()
        with selectors.DefaultSelector() as selector:
            selector.register(client.fileno(), selectors.EVENT_READ)
            ready = selector.select(timeout=1.0)
            packets = client.get_data_packets()
            selector.unregister(client.fileno())
        print(f"descriptor ready: {bool(ready)}; {len(packets)} packets taken")
        assert ready and packets
