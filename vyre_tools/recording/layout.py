"""The columns of a recording, their precision, and the formats by suffix."""

import os

# the clocks: float64 as the client delivers them; every other value is a
# float32 as it came over the wire (or as the host derived it). Recordings
# made before the synced time hold the first two only.
TIME_COLUMNS = ("timestamp_seconds", "host_time_seconds", "synced_time_seconds")
HOST_TIME = "host_time_seconds"
SYNCED_TIME = "synced_time_seconds"

FORMATS = {".csv": "csv", ".parquet": "parquet", ".npz": "npz", ".mcap": "mcap"}


class RecordingError(Exception):
    """A recording that cannot be written or read: one line for the user."""


def column_dtype(name):
    """The precision of column ``name`` where the file does not keep it."""
    import numpy as np
    return np.dtype(np.float64 if name in TIME_COLUMNS else np.float32)


def packet_dtype():
    """The dtype of ``VYREClient.get_data_array()``, known before any packet."""
    import numpy as np
    from vyre_client import VYREDataPacket
    names = [*VYREDataPacket.__struct_fields__, HOST_TIME, SYNCED_TIME]
    return np.dtype([(name, column_dtype(name)) for name in names])


def format_of(path):
    """The format name for ``path``'s suffix; RecordingError when it has none."""
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    if suffix not in FORMATS:
        raise RecordingError(f"{os.fspath(path)}: unknown recording format "
                             f"{suffix or '(no suffix)'!r}: use " + ", ".join(FORMATS))
    return FORMATS[suffix]


def structured(columns, path):
    """One structured array from ``columns`` (name -> 1-d array), in order."""
    import numpy as np
    lengths = {len(v) for v in columns.values()}
    if len(lengths) > 1:
        raise RecordingError(f"{path}: its columns differ in length")
    for name, values in columns.items():
        if values.dtype.kind not in "fiu":
            raise RecordingError(f"{path}: column {name!r} does not hold numbers")
    out = np.empty(lengths.pop() if lengths else 0,
                   [(name, values.dtype) for name, values in columns.items()])
    for name, values in columns.items():
        out[name] = values
    return out
