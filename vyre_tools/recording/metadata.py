"""What a recording came from: the device, its configuration, the units of
its columns, the library's version and when recording started.

Each format keeps it where its readers look for such things and other
readers pass over it:

- ``.csv``: a sidecar file ``<name>.csv.json`` beside the recording, so the
  CSV stays a plain table for every reader (spreadsheets, ``pandas``,
  ``numpy.genfromtxt``);
- ``.parquet``: the schema's metadata under the key ``vyre.recording``;
- ``.npz``: an entry ``vyre_recording`` holding the JSON text, which the
  recording's reader leaves out of the columns;
- ``.mcap``: a metadata record named ``vyre.recording``.

The metadata is one JSON object; recordings made before it existed read
as before, with empty metadata.
"""

import datetime
import json
import os
from collections.abc import Sequence
from typing import Any

KEY = "vyre.recording"
NPZ_ENTRY = "vyre_recording"

# unit of a column by the end of its name (the longest that matches)
_UNIT_SUFFIXES = (
    ("_meters_per_s", "m/s"),
    ("_deg_per_s", "deg/s"),
    ("_microteslas", "µT"),
    ("_celsius", "°C"),
    ("_pascals", "Pa"),
    ("_gs", "g"),
    ("_degrees", "deg"),
    ("_meters", "m"),
    ("_seconds", "s"),
)


def column_unit(name: str) -> str:
    """The unit of column ``name`` ("1" for a plain number such as the Mach
    number or a quaternion component)."""
    for suffix, unit in _UNIT_SUFFIXES:
        if name.endswith(suffix):
            return unit
    return "1"


def describe(
    names: Sequence[str], info: Any = None, config: Any = None, started: datetime.datetime | None = None
) -> dict[str, Any]:
    """The metadata of a recording of columns ``names``: ``info`` and
    ``config`` as the client's ``get_device_info()`` and
    ``get_device_config()`` return them (None when the device did not say),
    ``started`` an aware datetime (now when None)."""
    import vyre_client

    started = started or datetime.datetime.now(datetime.timezone.utc)
    meta = {
        "start_time": started.isoformat(timespec="milliseconds"),
        "library": f"vyre_client {vyre_client.__version__}",
        "units": {name: column_unit(name) for name in names},
    }
    if info is not None:
        meta["device_id"] = f"0x{info.id:016X}"
        meta["firmware"] = info.firmware_version
    if config is not None:
        meta["configuration"] = {
            "name": config.name,
            "frequency_hz": config.frequency,
            "protocol": str(config.protocol).rpartition(".")[2],
        }
    return meta


def describe_devices(
    names: Sequence[str],
    sources: Sequence[tuple[str, Any, Any]],
    started: datetime.datetime | None = None,
) -> dict[str, Any]:
    """The metadata of a recording of several devices: as ``describe``, and
    under ``"devices"`` one entry per device in the order of its index in
    the ``device`` column: its ``port``, ``device_id``, ``firmware`` and
    ``configuration`` from ``sources``, each (port, info, config)."""
    meta = describe(names, started=started)
    devices = []
    for index, (port, info, config) in enumerate(sources):
        one = describe((), info, config, started)
        entry: dict[str, Any] = {"device": index, "port": port}
        entry.update({k: one[k] for k in ("device_id", "firmware", "configuration") if k in one})
        devices.append(entry)
    meta["devices"] = devices
    return meta


def encode(meta: dict[str, Any]) -> str:
    return json.dumps(meta, ensure_ascii=False, sort_keys=True)


def decode(text: str | None, path: str) -> dict[str, Any]:
    """The metadata from its JSON text; a damaged one reads as empty rather
    than keeping the rows from being read."""
    if text is None:
        return {}
    try:
        meta = json.loads(text)
    except (ValueError, TypeError, RecursionError):
        return {}
    return meta if isinstance(meta, dict) else {}


def csv_sidecar(path: str | os.PathLike[str]) -> str:
    return os.fspath(path) + ".json"


def summary(meta: dict[str, Any]) -> str:
    """One line for people: where and when a recording was made."""
    if not meta:
        return "no record of the device (a recording made before vyre kept one)"
    parts = []
    devices = meta.get("devices")
    if isinstance(devices, list):
        ids = [str(d.get("device_id", "?")) for d in devices if isinstance(d, dict)]
        parts.append(f"{len(devices)} devices: " + ", ".join(ids))
    if "device_id" in meta:
        parts.append(f"device {meta['device_id']} firmware {meta.get('firmware', '?')}")
    config = meta.get("configuration")
    if isinstance(config, dict):
        parts.append(
            f"'{config.get('name', '')}' at {config.get('frequency_hz', '?')} Hz "
            f"over {config.get('protocol', '?')}"
        )
    if "start_time" in meta:
        parts.append(f"started {meta['start_time']}")
    if "library" in meta:
        parts.append(meta["library"])
    return "; ".join(parts) or "no record of the device"
