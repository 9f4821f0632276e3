"""Telemetry as a numpy structured array and a pandas DataFrame."""

import time

import pandas as pd

import vyre_client
from vyre_tools.sim import Simulator

with Simulator.spawn(rate=200) as sim, vyre_client.VYREClient(sim.port_name) as client:
    client.get_data_array(block=True)  # drop what came before this moment
    time.sleep(2.0)
    rows = client.get_data_array()  # one row per packet, oldest first

    print(rows.dtype.names[:4], "...", rows.dtype.names[-2:])
    frame = pd.DataFrame(rows)
    # the device's clock and the host's receive time side by side
    span_device = frame.timestamp_seconds.iloc[-1] - frame.timestamp_seconds.iloc[0]
    span_host = frame.host_time_seconds.iloc[-1] - frame.host_time_seconds.iloc[0]
    print(f"{len(frame)} packets over {span_device:.2f} s of device time", end=" ")
    print(f"({span_host:.2f} s on the host)")
    print(
        frame[["pressure_pascals", "temperature_celsius", "est_tilt_angle_degrees"]]
        .describe()
        .loc[["mean", "min", "max"]]
        .round(2)
    )

    # the same columns as the packet objects, in the same order
    columns = vyre_client.VYREDataPacket.__struct_fields__ + [
        "host_time_seconds",
        "synced_time_seconds",
    ]
    assert list(rows.dtype.names) == columns
    assert 300 <= len(frame) <= 500
