"""Recording telemetry to a file and reading it back."""

import os
import tempfile
import time

import vyre_client
from vyre_tools import recording
from vyre_tools.sim import Simulator

with tempfile.TemporaryDirectory() as folder:
    # the suffix chooses the format: .csv, .parquet, .npz or .mcap
    path = os.path.join(folder, "run.parquet")

    with Simulator.spawn(rate=200) as sim:
        # block=True waits up to the client's timeout for the next packets
        with vyre_client.VYREClient(sim.port_name, timeout=2.0) as client:
            first = client.get_data_array(block=True)
            with recording.open_writer(path, first.dtype) as writer:
                writer.write(first)
                deadline = time.monotonic() + 1.0
                while time.monotonic() < deadline:
                    writer.write(client.get_data_array(block=True))  # as it comes
            print(f"recorded {writer.rows} packets")

    rows = recording.read(path)  # one structured array, each column at its precision
    print(rows.dtype["pressure_pascals"], rows.dtype["timestamp_seconds"], len(rows))
    recording.convert(path, os.path.join(folder, "run.csv"))  # as `vyre convert` does
    as_csv = recording.read(os.path.join(folder, "run.csv"))
    assert len(as_csv) == len(rows) == writer.rows
