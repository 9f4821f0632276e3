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
  open it without plugins (the ``mcap`` package).

Writers take whole arrays and buffer them into batches, so recording costs
little beside the stream; every format reads back value for value.
"""

from .files import convert, open_writer, read
from .layout import FORMATS, RecordingError, column_dtype, format_of, packet_dtype

__all__ = ["FORMATS", "RecordingError", "column_dtype", "convert", "format_of", "open_writer",
           "packet_dtype", "read"]
