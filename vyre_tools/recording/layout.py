"""The columns of a recording, their precision, and the formats by suffix."""

import os
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy as np

# the clocks: float64 as the client delivers them; every other value is a
# float32 as it came over the wire (or as the host derived it). Recordings
# made before the synced time hold the first two only.
TIME_COLUMNS = ("timestamp_seconds", "host_time_seconds", "synced_time_seconds")
HOST_TIME = "host_time_seconds"
SYNCED_TIME = "synced_time_seconds"
# which device a row came from, in a recording of several (an index into
# the metadata's "devices"); a recording of one device has no such column
DEVICE = "device"

FORMATS = {".csv": "csv", ".parquet": "parquet", ".npz": "npz", ".mcap": "mcap"}

type Rows = np.ndarray[tuple[int], np.dtype[np.void]]
"""A recording's rows: one structured array, a field per column."""
type Column = np.ndarray[tuple[int], np.dtype[Any]]
"""One column of a recording: a 1-d array of numbers."""


class RecordingError(Exception):
    """A recording that cannot be written or read: one line for the user."""


def column_dtype(name: str) -> "np.dtype[Any]":
    """The precision of column ``name`` where the file does not keep it."""
    import numpy as np

    if name == DEVICE:
        return np.dtype(np.uint16)
    return np.dtype(np.float64 if name in TIME_COLUMNS else np.float32)


def number_dtype(text: object) -> "np.dtype[Any] | None":
    """The dtype a file names for a column (``"<f4"``), or None unless it is
    a plain number of at most 8 bytes: what a file claims is checked before
    anything is made of it."""
    import numpy as np

    try:
        dtype = np.dtype(text) if isinstance(text, str) and len(text) <= 8 else None
    except (TypeError, ValueError):
        return None
    return dtype if dtype is not None and dtype.kind in "fiu" and dtype.itemsize <= 8 else None


def column_names(dtype: "np.dtype[Any]") -> tuple[str, ...]:
    """The columns of rows of ``dtype``; TypeError for a dtype without
    fields, which no recording holds."""
    if not dtype.names:
        raise TypeError(f"a recording takes rows of a structured dtype, not {dtype}")
    return dtype.names


def packet_dtype() -> "np.dtype[np.void]":
    """The dtype of ``VYREClient.get_data_array()``, known before any packet."""
    import numpy as np
    from vyre_client import VYREDataPacket

    names = [*VYREDataPacket.__struct_fields__, HOST_TIME, SYNCED_TIME]
    return np.dtype([(name, column_dtype(name)) for name in names])


def devices_dtype() -> "np.dtype[np.void]":
    """The dtype of a recording of several devices: the device's index,
    then the columns of ``packet_dtype``."""
    import numpy as np

    packet = packet_dtype()
    return np.dtype([(DEVICE, column_dtype(DEVICE)), *((n, packet[n]) for n in packet.names or ())])


def format_of(path: str | os.PathLike[str]) -> str:
    """The format name for ``path``'s suffix; RecordingError when it has none."""
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    if suffix not in FORMATS:
        raise RecordingError(
            f"{os.fspath(path)}: unknown recording format "
            f"{suffix or '(no suffix)'!r}: use " + ", ".join(FORMATS)
        )
    return FORMATS[suffix]


def packet_columns() -> tuple[str, ...]:
    """The columns every recording holds: the packet's fields."""
    from vyre_client import VYREDataPacket

    return tuple(VYREDataPacket.__struct_fields__)


def check_columns(names: "tuple[str, ...] | None", path: str) -> None:
    """RecordingError unless ``names`` are a recording's columns: every
    field of a packet, and beside them only the host's clocks and the
    device's index."""
    names = tuple(names or ())
    needed = packet_columns()
    missing = [name for name in needed if name not in names]
    if missing:
        raise RecordingError(f"{path} is not a telemetry recording: no column " + ", ".join(missing))
    known = {*needed, *TIME_COLUMNS, DEVICE}
    unknown = [name for name in names if name not in known]
    if unknown:
        shown = ", ".join(repr(name if len(name) <= 40 else name[:40] + "...") for name in unknown[:3])
        more = f" and {len(unknown) - 3} more" if len(unknown) > 3 else ""
        raise RecordingError(f"{path} is not a telemetry recording: unknown column {shown}{more}")


def structured(columns: "dict[str, np.ndarray[Any, Any]]", path: str) -> Rows:
    """One structured array from ``columns`` (name -> 1-d array), in order."""
    import numpy as np

    if not columns:
        raise RecordingError(f"{path} holds no columns")
    lengths = {len(v) for v in columns.values()}
    if len(lengths) > 1:
        raise RecordingError(f"{path}: its columns differ in length")
    for name, values in columns.items():
        if values.dtype.kind not in "fiu":
            raise RecordingError(f"{path}: column {name!r} does not hold numbers")
    out = np.empty(
        lengths.pop() if lengths else 0, [(name, values.dtype) for name, values in columns.items()]
    )
    for name, values in columns.items():
        out[name] = values
    return out
