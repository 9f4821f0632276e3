"""First stream: the device's identity and a second of telemetry."""

import time

import vyre_client
from vyre_tools.sim import Simulator

# A simulated device in a child process; with hardware, use its port instead
# (such as "/dev/ttyACM0", see `vyre ports`).
with Simulator.spawn(rate=100) as sim:
    client = vyre_client.VYREClient(sim.port_name)
    with client:  # starts the reader thread; stops it when the block ends
        info = client.get_device_info(timeout_seconds=2.0)
        print(f"firmware {info.firmware_version}, id {info.id:#018x}")

        packets = client.get_data_packets(block=True)  # waits up to 0.1 s for one
        time.sleep(1.0)
        packets += client.get_data_packets()  # everything since the last call
        last = packets[-1]
        print(f"{len(packets)} packets; the last at {last.timestamp_seconds:.2f} s:")
        print(
            f"  {last.temperature_celsius:.1f} °C, {last.pressure_pascals:.0f} Pa, "
            f"climbing at {last.est_velocity_z_meters_per_s:+.2f} m/s"
        )
        assert 50 <= len(packets) <= 200
