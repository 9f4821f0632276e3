"""A Foxglove WebSocket server (Foxglove's own SDK) showing each device live.

Per device, under ``/vyre`` (several devices: ``/vyre/1``, ``/vyre/2``, ...):

- ``telemetry``: every packet as JSON with the schema ``vyre.Telemetry``
  (the same as the plain MCAP recordings'): each field named with its unit,
  the derived values, the device time, the receive time
  (``host_time_seconds``) and the synced time; NaN and infinities as null;
- ``attitude``: the sensor frame's orientation as a ``foxglove.FrameTransform``
  from ``vyre_world`` (Z up) to the frame id (``vyre_imu``; several devices:
  ``vyre_imu_1``, ...), so the 3D panel turns the device;
- ``link_health``: the feed's state (streaming, waiting for the device after
  an unplug, stopped), packet, gap and reconnect counts and the link's error
  counters, twice a second and whenever something happens.

Every message is logged at its sample's time (synced, else received; see
``samples``), which is the time Foxglove shows and orders by.  The channels
are made when a device answers, before anything is logged, so the first
subscriber misses nothing.  ``display_rate`` thins telemetry and attitude
for display to about that many samples a second per device; recordings
made beside the bridge take every sample."""

import json
import math
from types import ModuleType
from typing import TYPE_CHECKING, Any

from ..recording.mcap_format import SCHEMA_NAME, json_schema
from . import samples
from .feed import BridgeError, Source
from .health import Health

if TYPE_CHECKING:
    import numpy as np

    Rows = np.ndarray[Any, np.dtype[Any]]

MISSING = "'vyre bridge foxglove' needs Foxglove's SDK: install the bridges extra (pip install 'vyre-client[bridges]')"
WORLD_FRAME = "vyre_world"
# what a client may fall behind by, in messages, before the oldest are
# dropped for it: seconds of every sample (the SDK's 1024 are half a second
# at the link's top rate, which a busy viewer can fall behind by)
BACKLOG_MESSAGES = 16384
DEFAULT_FRAME_ID = "vyre_imu"

_VECTOR = {"type": "object", "properties": {k: {"type": "number"} for k in "xyz"}}
FRAME_TRANSFORM_SCHEMA = {
    "title": "foxglove.FrameTransform",
    "type": "object",
    "properties": {
        "timestamp": {
            "type": "object",
            "properties": {"sec": {"type": "integer"}, "nsec": {"type": "integer"}},
        },
        "parent_frame_id": {"type": "string"},
        "child_frame_id": {"type": "string"},
        "translation": _VECTOR,
        "rotation": {"type": "object", "properties": {k: {"type": "number"} for k in "xyzw"}},
    },
}
HEALTH_SCHEMA = {
    "title": "vyre.LinkHealth",
    "type": "object",
    "properties": {
        "state": {"type": "string"},
        "port": {"type": "string"},
        "device_id": {"type": "string"},
        "packets": {"type": "integer"},
        "gaps": {"type": "integer"},
        "missing": {"type": "integer"},
        "reconnects": {"type": "integer"},
        "synced": {"type": "boolean"},
        "event": {"type": "string"},
        "link": {"type": "object", "additionalProperties": {"type": "integer"}},
    },
}


def require() -> ModuleType:
    try:
        import foxglove
    except ModuleNotFoundError:
        raise BridgeError(MISSING) from None
    module: ModuleType = foxglove
    return module


class _Device:
    """One device's channels and thinning."""

    def __init__(self, fox: Any, prefix: str, frame_id: str, names: tuple[str, ...]) -> None:
        schema = fox.Schema(
            name=SCHEMA_NAME, encoding="jsonschema", data=json.dumps(json_schema(names)).encode()
        )
        self.telemetry = fox.Channel(f"{prefix}/telemetry", schema=schema, message_encoding="json")
        self.attitude = fox.Channel(
            f"{prefix}/attitude",
            schema=fox.Schema(
                name="foxglove.FrameTransform",
                encoding="jsonschema",
                data=json.dumps(FRAME_TRANSFORM_SCHEMA).encode(),
            ),
            message_encoding="json",
        )
        self.health = fox.Channel(
            f"{prefix}/link_health",
            schema=fox.Schema(
                name="vyre.LinkHealth", encoding="jsonschema", data=json.dumps(HEALTH_SCHEMA).encode()
            ),
            message_encoding="json",
        )
        self.frame_id = frame_id
        self.names = names
        self.next_shown = -math.inf  # the sample time from which the next one is shown

    def close(self) -> None:
        for channel in (self.telemetry, self.attitude, self.health):
            channel.close()


class FoxgloveSink:
    """The server and every device's channels (see the module's docstring);
    ``port`` is the one it serves on."""

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 8765,
        display_rate: float | None = None,
        frame_id: str | None = None,
        devices: int = 1,
    ) -> None:
        self._fox = require()
        try:
            self._server = self._fox.start_server(
                name="vyre bridge", host=host, port=port, message_backlog_size=BACKLOG_MESSAGES
            )
        except RuntimeError as e:  # the SDK's for an address that cannot be served
            raise BridgeError(f"cannot serve Foxglove on {host}:{port}: {e}") from None
        self.port: int = self._server.port
        self._display_period = 1.0 / display_rate if display_rate else 0.0
        self._frame_id = frame_id or DEFAULT_FRAME_ID
        self._several = devices > 1
        self._devices: dict[int, _Device] = {}

    def open(self, source: Source) -> None:
        from ..recording.layout import packet_dtype

        if source.index in self._devices:
            return
        prefix = f"/vyre/{source.index + 1}" if self._several else "/vyre"
        frame_id = f"{self._frame_id}_{source.index + 1}" if self._several else self._frame_id
        self._devices[source.index] = _Device(self._fox, prefix, frame_id, packet_dtype().names or ())

    def send(self, source: Source, rows: "Rows") -> None:

        device = self._devices[source.index]
        times, _ = samples.sample_times(rows)
        if self._display_period:
            shown = self._thin(device, rows["timestamp_seconds"].tolist())
            rows, times = rows[shown], times[shown]
            if not len(rows):
                return
        stamps = samples.nanoseconds(times).tolist()
        q, known = samples.sensor_orientation(rows)
        names = device.names
        log_telemetry, log_attitude = device.telemetry.log, device.attitude.log
        for values, stamp, (w, x, y, z), ok in zip(rows.tolist(), stamps, q.tolist(), known.tolist()):
            message = dict(zip(names, values))
            if not all(map(math.isfinite, values)):
                message = {k: (v if math.isfinite(v) else None) for k, v in message.items()}
            log_telemetry(json.dumps(message, allow_nan=False).encode(), log_time=stamp)
            if ok:
                transform = {
                    "timestamp": {"sec": stamp // 1_000_000_000, "nsec": stamp % 1_000_000_000},
                    "parent_frame_id": WORLD_FRAME,
                    "child_frame_id": device.frame_id,
                    "translation": {"x": 0.0, "y": 0.0, "z": 0.0},
                    "rotation": {"x": x, "y": y, "z": z, "w": w},
                }
                log_attitude(json.dumps(transform).encode(), log_time=stamp)

    def _thin(self, device: _Device, device_times: list[float]) -> "np.ndarray[Any, np.dtype[np.bool_]]":
        """Which samples to show: one a display period apart, by the device's
        clock (exact for spacing); a clock that went back (a restart) starts over."""
        import numpy as np

        period = self._display_period
        shown = np.zeros(len(device_times), bool)
        due = device.next_shown
        for i, t in enumerate(device_times):
            if t >= due or t < due - 2 * period:
                shown[i] = True
                due = due + period if t - due < period else t + period
        device.next_shown = due
        return shown

    def health(self, source: Source | None, health: Health) -> None:
        if source is not None and source.index in self._devices:
            self._devices[source.index].health.log(health.json().encode())

    def close(self) -> None:
        for device in self._devices.values():
            device.close()
        self._server.stop()
