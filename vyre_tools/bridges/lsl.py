"""A Lab Streaming Layer outlet per device (pylsl, whose wheel carries liblsl).

The stream: named ``VYRE <device name or id>``, type ``IMU``, one double
channel per packet field (the device time among them, at full precision),
at the device's configured rate (irregular when it did not say), with the
source id ``vyre-<device id>`` so a recorder (LabRecorder) finds the same
device again after a reconnect or a restart of the bridge.  Its
description follows LSL's meta-data conventions: ``channels/channel`` with
``label``, ``unit`` and ``type`` each, ``acquisition`` with manufacturer,
model, serial number and firmware.  Beside it, a ``Markers`` stream
(``vyre-<device id>-link``) tells the link's health as it changes:
streaming, waiting for the device, reconnected and what was lost.

Time.  LSL stamps a sample with its own clock (``local_clock()``: the
system's monotonic clock), not the wall clock our synced times are on.
The bridge measures the offset between the two, ``local_clock() -
time.time()``, as the narrowest of several back-to-back readings of both
(good to a microsecond), again every second so a stepped or slewed wall
clock is followed, and stamps each sample with its synced time plus that
offset.  An inlet's ``time_correction()`` then carries the stamps to its
own host's clock as for any LSL stream."""

import time
from types import ModuleType
from typing import TYPE_CHECKING, Any

from ..recording.layout import TIME_COLUMNS
from ..recording.metadata import column_unit
from . import samples
from .feed import BridgeError, Source
from .health import Health

if TYPE_CHECKING:
    import numpy as np

    Rows = np.ndarray[Any, np.dtype[Any]]

MISSING = "'vyre bridge lsl' needs pylsl: install the bridges extra (pip install 'vyre-client[bridges]')"
STREAM_TYPE = "IMU"
OFFSET_SECONDS = 1.0  # how often the clocks' offset is measured again

# the LSL channel type of a packet field, by what its name begins with
_TYPES = (
    ("timestamp", "DeviceTime"),
    ("temperature", "Temperature"),
    ("pressure", "Pressure"),
    ("raw_rotated_acceleration", "RotatedAcceleration"),
    ("raw_acceleration", "Acceleration"),
    ("raw_angular_rate", "AngularVelocity"),
    ("magnetic_field", "MagneticField"),
    ("est_tilt", "Tilt"),
    ("est_position", "Position"),
    ("est_velocity", "Velocity"),
    ("est_mach", "MachNumber"),
    ("est_quaternion", "Orientation"),
)


def require() -> ModuleType:
    """pylsl, with its liblsl loaded; BridgeError saying what is missing."""
    try:
        import pylsl
    except ModuleNotFoundError:
        raise BridgeError(MISSING) from None
    except RuntimeError as e:  # pylsl found no liblsl to load
        raise BridgeError(f"pylsl cannot load liblsl: {e}") from None
    module: ModuleType = pylsl
    return module


def channel_names() -> tuple[str, ...]:
    """The stream's channels: every field of a packet."""
    from ..recording.layout import packet_dtype

    return tuple(n for n in packet_dtype().names or () if n not in TIME_COLUMNS[1:])


def channel_type(name: str) -> str:
    return next((kind for prefix, kind in _TYPES if name.startswith(prefix)), "Other")


class ClockOffset:
    """``local_clock() - time.time()``, measured again every ``OFFSET_SECONDS``."""

    def __init__(self, local_clock: Any) -> None:
        self._local_clock = local_clock
        self._measured = -float("inf")
        self.offset = self.measure()

    def measure(self, tries: int = 8) -> float:
        """The offset from the narrowest bracket of ``tries`` readings."""
        best_width, best = float("inf"), 0.0
        for _ in range(tries):
            before = self._local_clock()
            wall = time.time()
            after = self._local_clock()
            if after - before < best_width:
                best_width, best = after - before, (before + after) / 2 - wall
        self._measured = time.monotonic()
        return best

    def current(self) -> float:
        if time.monotonic() - self._measured >= OFFSET_SECONDS:
            self.offset = self.measure()
        return self.offset


class LslSink:
    """The outlets of every device (see the module's docstring)."""

    def __init__(self) -> None:
        self._lsl = require()
        self._clock = ClockOffset(self._lsl.local_clock)
        self._names = channel_names()
        self._outlets: dict[int, Any] = {}
        self._markers: dict[int, Any] = {}
        self._told: dict[int, tuple[str, str]] = {}

    def stream_info(self, source: Source) -> Any:
        lsl = self._lsl
        who = source.id_text if source.device_id is not None else source.port
        info = lsl.StreamInfo(
            name=f"VYRE {source.name or who}",
            type=STREAM_TYPE,
            channel_count=len(self._names),
            nominal_srate=float(source.rate_hz or lsl.IRREGULAR_RATE),
            channel_format=lsl.cf_double64,
            source_id=f"vyre-{who}",
        )
        desc = info.desc()
        channels = desc.append_child("channels")
        for name in self._names:
            channel = channels.append_child("channel")
            channel.append_child_value("label", name)
            channel.append_child_value("unit", column_unit(name))
            channel.append_child_value("type", channel_type(name))
        acquisition = desc.append_child("acquisition")
        acquisition.append_child_value("manufacturer", "VYRE")
        acquisition.append_child_value("model", "VYRE inertial and barometric sensor")
        acquisition.append_child_value("serial_number", source.id_text)
        acquisition.append_child_value("firmware", source.firmware)
        acquisition.append_child_value("time_source", "synced device time (vyre_client)")
        return info

    def open(self, source: Source) -> None:
        lsl = self._lsl
        if source.index in self._outlets:
            return
        self._outlets[source.index] = lsl.StreamOutlet(self.stream_info(source))
        who = source.id_text if source.device_id is not None else source.port
        markers = lsl.StreamInfo(
            name=f"VYRE {source.name or who} link",
            type="Markers",
            channel_count=1,
            nominal_srate=lsl.IRREGULAR_RATE,
            channel_format=lsl.cf_string,
            source_id=f"vyre-{who}-link",
        )
        self._markers[source.index] = lsl.StreamOutlet(markers)

    def stamps(self, rows: "Rows") -> "np.ndarray[Any, np.dtype[Any]]":
        """Each row's time on LSL's clock."""
        times, _ = samples.sample_times(rows)
        return times + self._clock.current()

    def send(self, source: Source, rows: "Rows") -> None:
        import numpy as np

        data = np.empty((len(rows), len(self._names)))
        for i, name in enumerate(self._names):
            data[:, i] = rows[name]
        self._outlets[source.index].push_chunk(data, self.stamps(rows).tolist())

    def health(self, source: Source | None, health: Health) -> None:
        if source is None or source.index not in self._markers:
            return
        said = (health.state, health.event)
        if self._told.get(source.index) != said:
            self._told[source.index] = said
            text = health.state + (f": {health.event}" if health.event else "")
            self._markers[source.index].push_sample([text])

    def close(self) -> None:
        self._outlets.clear()
        self._markers.clear()
