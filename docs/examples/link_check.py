"""Checking a link: the client's counts of what came over it."""

import time

import vyre_client
from vyre_tools.sim import Simulator

# A noisy line: bursts of stray bytes and one corrupted frame in fifty.
with Simulator.spawn(rate=200, noise=0.2, corrupt_rate=0.02) as sim:
    with vyre_client.VYREClient(sim.port_name) as client:
        time.sleep(2.0)
        client.get_data_packets()
        client.stop()  # a stopped client's counts hold still
        stats = client.link_statistics()

for key in (
    "bytes_received",
    "telemetry_frames",
    "crc_rejected",
    "noise_bytes",
    "packets_delivered",
    "packets_waiting",
):
    print(f"{key:>18}: {stats[key]}")
# every byte is accounted for
assert stats["bytes_received"] == (
    stats["frame_bytes"] + stats["noise_bytes"] + stats["buffered_bytes"]
)
assert stats["crc_rejected"] > 0
# every telemetry frame was handed out or still waits in the queue
assert (
    stats["packets_delivered"] + stats["packets_waiting"] == stats["telemetry_frames"]
)
