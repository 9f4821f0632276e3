"""Replaying a mock log into the device's mock mode."""

import os
import tempfile
import time

import vyre_client
from vyre_tools.mocklog import write_mock_log
from vyre_tools.sim import Simulator

with tempfile.TemporaryDirectory() as folder:
    # 400 records, 5 ms apart on the log's clock: 2 s of logged time
    path = os.path.join(folder, "flight.log")
    write_mock_log(path, count=400, interval_seconds=0.005)

    with Simulator.spawn(rate=50) as sim:
        with vyre_client.VYREClient(sim.port_name) as client:
            started = time.monotonic()
            client.start_mock_log_stream(path, speed=4.0)  # four times the logged pace
            while client.is_mock_log_streaming():
                time.sleep(0.05)
            sent = client.stop_mock_log_stream()  # or raises the replay's error
            print(f"sent {sent} records in {time.monotonic() - started:.2f} s")
            assert sent == 400
            # the device had all of them once the queued frames went out
            sim.wait_status(lambda s: s["mock_records"] == 400, timeout=10.0)
