"""Devices in the field: found by identity, followed across an unplug."""

import os
import tempfile

from vyre_tools import devices
from vyre_tools.reconnect import batches
from vyre_tools.sim import Simulator

DEVICE = "id=0x5659524500010042"  # the id `vyre info` shows; or serial=..., usb=VID:PID

with tempfile.TemporaryDirectory() as links:
    # Simulated devices keep their stable links (what /dev/serial/by-id is for
    # a real one) in $VYRE_SIM_LINKS; a folder of our own shows ours only.
    os.environ["VYRE_SIM_LINKS"] = links

    with Simulator.spawn(rate=100) as sim:
        found = devices.find(DEVICE)  # exactly one port must match
        print(f"{DEVICE} is on {found.port} (firmware {found.firmware})")

        before = 0
        for batch in batches(DEVICE):  # reopens the same device after an unplug
            if batch.gap:  # reported once, with the first packets after it
                print(f"{before} packets, then: {batch.gap.text()}")
                break
            if before < 100 <= before + len(batch.packets):
                # Rehearse an unplug: the cable is pulled, and the device is
                # back 0.5 s later on another port, behind the same link.
                sim.replug(0.5)
            before += len(batch.packets)
        assert before >= 100 and batch.gap.missing > 0
