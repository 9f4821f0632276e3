"""A Foxglove WebSocket server (Foxglove's own SDK) showing each device live.

Per device, under ``/vyre`` (several devices: ``/vyre/1``, ``/vyre/2``, ...):

- ``telemetry``: every packet as a ``vyre_msgs/msg/Telemetry`` ROS 2 message
  (CDR, its definition advertised: Foxglove decodes it without plugins),
  the same as ROS 2 recordings hold (see ``ros2``): each field named with
  its unit, the derived values, the device time, the receive time
  (``host_time_seconds``) and the synced time;
- ``attitude``: the sensor frame's orientation as a
  ``geometry_msgs/msg/TransformStamped`` from ``vyre_world`` (Z up) to the
  frame id (``vyre_imu``; several devices: ``vyre_imu_1``, ...), so the 3D
  panel turns the device; left out while the attitude is unknown;
- ``link_health``: JSON, the feed's state (streaming, waiting for the device
  after an unplug, stopped), packet, gap and reconnect counts and the
  link's error counters, twice a second and whenever something happens.

Every message is logged at its sample's time (synced, else received; see
``samples``), which is the time Foxglove shows and orders by, and its
header carries the same.  CDR packed a batch at a time keeps the bridge's
cost per sample to the SDK's own.  Every channel is made before the
server starts (one made while a client connects can miss that client's
subscription), so the first subscriber misses nothing.  ``display_rate`` thins telemetry and attitude for display to
about that many samples a second per device, by the device's clock;
recordings made beside the bridge take every sample."""

import json
import math
import time
from types import ModuleType
from typing import TYPE_CHECKING, Any

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
LINGER_SECONDS = 0.2
DEFAULT_FRAME_ID = "vyre_imu"

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

    def __init__(self, fox: Any, prefix: str, frame_id: str) -> None:
        from ..recording.layout import packet_dtype
        from .ros2 import TELEMETRY_TYPE, TRANSFORM_DEFINITION, TRANSFORM_TYPE, telemetry_definition
        from .ros2 import telemetry_layout, transform_layout

        dtype = packet_dtype()

        def channel(topic: str, name: str, encoding: str, schema: str, message_encoding: str) -> Any:
            kind = fox.Schema(name=name, encoding=encoding, data=schema.encode())
            return fox.Channel(f"{prefix}/{topic}", schema=kind, message_encoding=message_encoding)

        self.telemetry = channel("telemetry", TELEMETRY_TYPE, "ros2msg", telemetry_definition(dtype), "cdr")
        self.attitude = channel("attitude", TRANSFORM_TYPE, "ros2msg", TRANSFORM_DEFINITION, "cdr")
        self.health = channel(
            "link_health", "vyre.LinkHealth", "jsonschema", json.dumps(HEALTH_SCHEMA), "json"
        )
        self.telemetry_layout = telemetry_layout(dtype, frame_id)
        self.transform_layout = transform_layout(WORLD_FRAME, frame_id)
        self.next_shown = -math.inf  # the device time from which the next sample is shown

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
        several = devices > 1
        frame_id = frame_id or DEFAULT_FRAME_ID
        # every channel before the server: one made while a client connects
        # can miss that client's subscription
        self._devices = {
            i: _Device(
                self._fox,
                f"/vyre/{i + 1}" if several else "/vyre",
                f"{frame_id}_{i + 1}" if several else frame_id,
            )
            for i in range(devices)
        }
        try:
            self._server = self._fox.start_server(
                name="vyre bridge", host=host, port=port, message_backlog_size=BACKLOG_MESSAGES
            )
        except RuntimeError as e:  # the SDK's for an address that cannot be served
            for device in self._devices.values():
                device.close()
            raise BridgeError(f"cannot serve Foxglove on {host}:{port}: {e}") from None
        self.port: int = self._server.port
        self._display_period = 1.0 / display_rate if display_rate else 0.0

    def open(self, source: Source) -> None:
        pass  # its channels are there from the start

    def send(self, source: Source, rows: "Rows") -> None:
        from .ros2 import stamp_fields

        device = self._devices[source.index]
        if self._display_period:
            rows = rows[self._thin(device, rows["timestamp_seconds"].tolist())]
            if not len(rows):
                return
        times, _ = samples.sample_times(rows)
        ns = samples.nanoseconds(times)
        stamp = stamp_fields(ns)
        stamps = ns.tolist()
        columns = {name: rows[name] for name in rows.dtype.names or ()}
        log = device.telemetry.log
        for message, at in zip(device.telemetry_layout.pack(len(rows), {**stamp, **columns}), stamps):
            log(message, log_time=at)
        q, known = samples.sensor_orientation(rows)
        if not known.all():
            q, stamp, stamps = q[known], {k: v[known] for k, v in stamp.items()}, ns[known].tolist()
        rotation = {f"rotation.{k}": q[:, i] for i, k in enumerate("wxyz")}
        log = device.attitude.log
        for message, at in zip(device.transform_layout.pack(len(q), {**stamp, **rotation}), stamps):
            log(message, log_time=at)

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
        # the server drops what it has not sent when it stops: a moment for
        # the last messages (the stopped state) to reach the clients
        time.sleep(LINGER_SECONDS)
        for device in self._devices.values():
            device.close()
        self._server.stop()
