"""Recordings of several devices: one table whose first column, ``device``,
names the device each row came from (an index into the metadata's
``"devices"``, which holds each one's port, identity and configuration).
Rows of the devices interleave as they arrived; ``split`` gives each
device's rows back as ``get_data_array`` gives them.  A recording of one
device has no such column and reads as before.
"""

import os
from collections.abc import Sequence
from typing import Any

from .files import read, read_metadata
from .layout import DEVICE, Rows, devices_dtype


def tagged(index: int, rows: Rows) -> Rows:
    """``rows`` of one device (``get_data_array``'s) as rows of a recording
    of several, marked as device ``index``."""
    import numpy as np

    out = np.empty(len(rows), devices_dtype())
    out[DEVICE] = index
    for name in rows.dtype.names or ():
        out[name] = rows[name]
    return out


def split(rows: Rows, count: int = 0) -> list[Rows]:
    """Each device's rows (without the ``device`` column), by index: at
    least ``count`` entries, as many as the highest index calls for.  Rows
    without the column are one device's."""
    import numpy as np

    names = rows.dtype.names or ()
    if DEVICE not in names:
        return [rows]
    kept = [n for n in names if n != DEVICE]
    dtype = np.dtype([(n, rows.dtype[n]) for n in kept])
    index = rows[DEVICE]
    count = max(count, int(index.max()) + 1 if len(index) else 0)
    out = []
    for i in range(count):
        mine = rows[index == i]
        part = np.empty(len(mine), dtype)
        for n in kept:
            part[n] = mine[n]
        out.append(part)
    return out


def read_devices(path: str | os.PathLike[str]) -> list[tuple[dict[str, Any], Rows]]:
    """Each device's metadata (the recording's, with the device's own
    entry in place of ``"devices"``) and rows; one entry for a recording of
    one device."""
    meta = read_metadata(path)
    entries = meta.get("devices")
    entries = entries if isinstance(entries, list) else []
    common = {k: v for k, v in meta.items() if k != "devices"}
    out = []
    for i, part in enumerate(split(read(path), len(entries))):
        own = entries[i] if i < len(entries) and isinstance(entries[i], dict) else {}
        out.append(({**common, **own}, part))
    return out


def device_names(meta: dict[str, Any], count: int) -> Sequence[str]:
    """A short name for each of ``count`` devices: its port, else its index."""
    entries = meta.get("devices")
    entries = entries if isinstance(entries, list) else []
    names = []
    for i in range(count):
        entry = entries[i] if i < len(entries) and isinstance(entries[i], dict) else {}
        names.append(str(entry.get("port") or entry.get("device_id") or f"device {i}"))
    return names
