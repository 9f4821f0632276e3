"""Telemetry recordings in the files analysis tools read.

A recording is a table with one row per telemetry packet: the columns of
``VYREClient.get_data_array()`` (the packet's fields, the device's
``timestamp_seconds`` among them, then the host's ``host_time_seconds`` and
``synced_time_seconds``; recordings made before the synced time lack it and
still read).
The file's suffix chooses its format:

- ``.csv``: a header row of column names, then each value as the shortest
  text that reads back to the same float32 or float64;
- ``.parquet``: one column per field at its own precision (pyarrow);
- ``.npz``: NumPy's zip of arrays, one per column (``numpy.load``);
- ``.mcap``: one JSON message per packet on the topic ``/vyre/telemetry``
  with a JSON schema, logged at the host receive time, so robotics viewers
  open it without plugins (the ``mcap`` package); with
  ``mcap_profile="ros2"``, ROS 2 messages instead (``sensor_msgs`` Imu,
  MagneticField, FluidPressure, Temperature and the whole packet, see
  ``mcap_ros2``), which read back the same.

Each format also keeps what the recording came from (device, firmware,
configuration, units per column, library version, start time; see
``metadata``): ``open_writer(path, dtype, metadata)`` writes it,
``read_metadata(path)`` reads it back, ``convert`` carries it over.

A recording of several devices (``vyre stream -p A -p B --record``) is one
table with a ``device`` column first, each device's identity and
configuration under the metadata's ``"devices"``; ``read_devices`` and
``split`` give each device's rows back (see ``devices``).

Writers take whole arrays and buffer them into batches, so recording costs
little beside the stream; every format reads back value for value.

What a crash costs: rows are pushed to the disk every second, so after a
kill or a power loss ``read`` (and ``vyre convert``) gives back every row up
to about one second before the end.  CSV leaves out a last line cut
mid-way; MCAP closes its chunk every second and reads a file without its
summary and footer record by record; Parquet and NPZ, which cannot be read
before their end is written, hold a journal of the rows while recording
(see ``journal``) and become Parquet or NPZ when closed (a rewrite that
needs the space once more for a moment).  A write that fails (a full disk)
raises RecordingError with the system's reason, once.

``read`` raises RecordingError naming the file and the problem for any
file that is not a recording, and keeps its memory to a small multiple of
the file's size whatever the file claims.
"""

from .devices import read_devices, split, tagged
from .files import convert, open_writer, read, read_metadata
from .layout import DEVICE, FORMATS, RecordingError, column_dtype, devices_dtype, format_of, packet_dtype
from .metadata import describe as describe_source
from .metadata import describe_devices

__all__ = [
    "DEVICE",
    "FORMATS",
    "RecordingError",
    "column_dtype",
    "convert",
    "describe_devices",
    "describe_source",
    "devices_dtype",
    "format_of",
    "open_writer",
    "packet_dtype",
    "read",
    "read_devices",
    "read_metadata",
    "split",
    "tagged",
]
