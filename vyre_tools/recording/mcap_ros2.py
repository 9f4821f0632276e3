"""MCAP with the ros2 profile: each packet as ROS 2 messages (``sensor_msgs``
Imu, MagneticField, FluidPressure, Temperature, and the whole row as
``vyre_msgs/msg/Telemetry``), CDR-encoded with their definitions embedded,
so ROS 2 tools, Foxglove and the MCAP ROS 2 reader open it without a ROS
installation (see ``vyre_tools.bridges.ros2`` for topics, units and frames).

Messages are logged at the sample's time (synced, else received) and
published at the receive time.  The columns, the metadata and the
chunk pushed to the disk every second are as in the plain MCAP format,
whose reader also reads these files back (from the Telemetry topic)."""

import struct
from typing import TYPE_CHECKING, Any

from .layout import HOST_TIME, RecordingError, Rows, column_names, structured
from .mcap_format import COLUMNS_METADATA, McapWriter, require
from .metadata import KEY, encode
from .writer import Writer, sync_file

if TYPE_CHECKING:
    import numpy as np

PROFILE = "ros2"
PROFILES = ("json", PROFILE)  # what --mcap-profile takes: the plain format's, and this


class McapRos2Writer(McapWriter):
    """The plain MCAP writer's file handling, with ROS 2 messages."""

    def __init__(
        self,
        path: str,
        dtype: "np.dtype[Any]",
        metadata: dict[str, Any] | None = None,
        frame_id: str | None = None,
    ) -> None:
        Writer.__init__(self, path, dtype)  # the channels are this format's own
        require()
        from mcap.writer import Writer as Mcap

        from ..bridges import covariance, ros2

        names = column_names(dtype)
        self._messages = ros2.Ros2Messages(
            dtype, frame_id or ros2.DEFAULT_FRAME_ID, covariance.for_device(metadata or {})
        )
        self._file = open(path, "wb")
        try:
            self._chunked = hasattr(Mcap, "flush")  # as McapWriter
            self._mcap = Mcap(self._file, use_chunking=self._chunked)
            self._mcap.start(profile=PROFILE, library="vyre_tools")
            self._channels = []
            for topic in self._messages.topics:
                schema = self._mcap.register_schema(topic.type, "ros2msg", topic.definition.encode())
                self._channels.append(self._mcap.register_channel(topic.name, "cdr", schema))
            self._mcap.add_metadata(
                COLUMNS_METADATA, {"names": ",".join(names), "dtypes": ",".join(dtype[n].str for n in names)}
            )
            if metadata is not None:
                self._mcap.add_metadata(KEY, {"json": encode(metadata)})
            sync_file(self._file)
        except BaseException:
            self._file.close()
            raise

    def _write_batch(self, batch: "np.ndarray[Any, np.dtype[Any]]") -> None:
        from ..bridges import samples

        times, _ = samples.sample_times(batch)
        logged = samples.nanoseconds(times).tolist()
        published = samples.nanoseconds(batch[HOST_TIME].astype("f8")).tolist()
        first = self.rows - len(batch)
        add = self._mcap.add_message
        for channel, (_, messages) in zip(self._channels, self._messages.build(batch)):
            for i, message in enumerate(messages):
                add(channel, logged[i], message, published[i], (first + i) & 0xFFFF_FFFF)


def read_rows(path: str, messages: list[bytes], names: list[str], dtypes: "list[np.dtype[Any]]") -> Rows:
    """The rows of a recording's Telemetry messages (CDR), at the precision
    of its column record."""
    import numpy as np

    from ..bridges import ros2

    dtype = np.dtype(list(zip(names, dtypes)))
    frame_id = _frame_id(messages[0]) if messages else ""
    rows = None if frame_id is None else ros2.telemetry_layout(dtype, frame_id).unpack(messages)
    if rows is None:
        raise RecordingError(f"{path}: a telemetry message does not match its definition")
    return structured({name: np.array(rows[name], dtype=dtype[name]) for name in names}, path)


def _frame_id(message: bytes) -> str | None:
    """The frame id of a message that begins with a std_msgs/Header."""
    if len(message) < 16:
        return None
    (length,) = struct.unpack_from("<I", message, 12)
    text = message[16 : 16 + length]
    if length == 0 or len(text) != length or text[-1:] != b"\0":
        return None
    try:
        return text[:-1].decode()
    except UnicodeDecodeError:
        return None
