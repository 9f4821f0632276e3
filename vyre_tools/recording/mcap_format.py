"""MCAP: one JSON message per packet with a JSON schema, the encodings that
robotics viewers read without plugins.

Messages are logged (and published) at the host receive time, in
nanoseconds since the epoch; the device's own clock is the message field
``timestamp_seconds``.  JSON has no NaN or infinities: NaN is written as
null and an infinity as 1e999, which JSON readers take as one.  The columns'
names and precisions go into a metadata record, so reading gives back
float32 columns as float32.

A log time is a count of nanoseconds from 0 to 2^64 - 1: a host time
outside (NaN, before 1970, past the year 2554) is logged at the nearest end
(NaN at 0) while the message keeps its exact value, which is what reading
gives back.

The chunk in progress is closed and pushed to the disk every second; a
file cut off (a crash, a full disk) lacks its summary and footer and is
read record by record up to the last whole one."""

import contextlib
import io
import json
import os
import struct
from collections.abc import Iterable, Sequence
from types import ModuleType
from typing import IO, TYPE_CHECKING, Any

from .arrow import texts
from .layout import HOST_TIME, RecordingError, Rows, column_dtype, column_names, number_dtype, structured
from .metadata import KEY, decode, encode
from .writer import Writer, sync_file

if TYPE_CHECKING:
    import numpy as np
    from mcap.records import McapRecord

TOPIC = "/vyre/telemetry"
SCHEMA_NAME = "vyre.Telemetry"
COLUMNS_METADATA = "vyre.columns"
LAST_NANOSECOND = 2**64 - 2048  # the largest float64 below 2^64
# a chunk may inflate to this many times the file's size
MAX_INFLATION = 64


def require() -> ModuleType:
    try:
        import mcap.writer
    except ModuleNotFoundError:
        from ..procedures.extras import install_hint

        raise RecordingError(f"the .mcap format needs 'mcap': {install_hint('cli')}") from None
    return mcap


def json_schema(names: Sequence[str]) -> dict[str, Any]:
    return {
        "title": SCHEMA_NAME,
        "description": "One telemetry packet of a VYRE sensor device; each field's name "
        "carries its unit; null stands for NaN, 1e999 for infinity.",
        "type": "object",
        # a plain "number": viewers refuse a list of types; the null of a
        # NaN is shown as a missing value
        "properties": {name: {"type": "number"} for name in names},
        "required": list(names),
    }


class McapWriter(Writer):
    def __init__(self, path: str, dtype: "np.dtype[Any]", metadata: dict[str, Any] | None = None) -> None:
        super().__init__(path, dtype)
        require()
        from mcap.writer import Writer as Mcap

        names = column_names(dtype)
        self._file = open(path, "wb")
        try:
            # a chunk closed every second needs Writer.flush (mcap 1.6); an
            # older mcap writes each message on its own instead
            self._chunked = hasattr(Mcap, "flush")
            self._mcap = Mcap(self._file, use_chunking=self._chunked)
            self._mcap.start(profile="", library="vyre_tools")
            schema = self._mcap.register_schema(
                SCHEMA_NAME, "jsonschema", json.dumps(json_schema(names)).encode()
            )
            self._channel = self._mcap.register_channel(TOPIC, "json", schema)
            self._mcap.add_metadata(
                COLUMNS_METADATA, {"names": ",".join(names), "dtypes": ",".join(dtype[n].str for n in names)}
            )
            if metadata is not None:
                self._mcap.add_metadata(KEY, {"json": encode(metadata)})
            sync_file(self._file)  # a recording from the start
        except BaseException:
            self._file.close()
            raise
        # the pieces of a message around its values: {"name":v,"name":v}
        self._keys = [("{" if i == 0 else ",") + json.dumps(n) + ":" for i, n in enumerate(names)]
        self._clock = HOST_TIME if HOST_TIME in names else names[0]

    def _write_batch(self, batch: "np.ndarray[Any, np.dtype[Any]]") -> None:
        import numpy as np
        import pyarrow as pa
        import pyarrow.compute as pc

        parts: list[Any] = []  # each key's text, then its Arrow array of values
        for key, name in zip(self._keys, column_names(batch.dtype)):
            values = batch[name]
            text = texts(values)
            if not np.isfinite(values).all():
                text = pc.if_else(
                    pc.is_nan(pa.array(values)), "null", pc.replace_substring(text, "inf", "1e999")
                )
            parts += [key, text]
        messages = pc.binary_join_element_wise(*parts, "}", "").to_pylist()
        with np.errstate(over="ignore"):
            clock = batch[self._clock].astype(np.float64) * 1e9
        stamps = np.clip(np.nan_to_num(clock, nan=0.0), 0, LAST_NANOSECOND).astype(np.uint64).tolist()
        add, channel = self._mcap.add_message, self._channel
        for sequence, (message, stamp) in enumerate(zip(messages, stamps), self.rows - len(batch)):
            add(channel, stamp, message.encode(), stamp, sequence & 0xFFFF_FFFF)

    def _sync(self) -> None:
        if self._chunked:
            self._mcap.flush()  # closes the chunk in progress
        sync_file(self._file)

    def _close(self) -> None:
        self._mcap.finish()
        self._file.flush()

    def _release(self) -> None:
        with contextlib.suppress(OSError):
            self._file.close()


def read(path: str) -> Rows:
    import numpy as np

    names, dtypes, texts, _, encoding = _messages(path)
    if encoding == "cdr" and names is not None and dtypes is not None:
        from .mcap_ros2 import read_rows

        return read_rows(path, texts, names, dtypes)
    try:
        rows = json.loads(b"[" + b",".join(texts) + b"]", parse_int=float)  # -0 stays -0.0
    except (ValueError, RecursionError) as e:
        raise RecordingError(f"{path}: a message is not JSON: {str(e)[:200]}") from None
    if names is None or dtypes is None:  # no column record: the fields of the first message
        names = list(rows[0]) if rows and isinstance(rows[0], dict) else []
        dtypes = [column_dtype(n) for n in names]
    try:
        # via float64, the nearest to the text: a float32's shortest text
        # comes back to the same float32
        columns = {
            name: np.array([row[name] for row in rows], dtype=np.float64).astype(dtype)
            for name, dtype in zip(names, dtypes)
        }
    except (KeyError, TypeError, ValueError, IndexError):
        raise RecordingError(f"{path}: a message lacks a field or holds no number") from None
    return structured(columns, path)


def _messages(
    path: str,
) -> tuple[list[str] | None, "list[np.dtype[Any]] | None", list[bytes], str | None, str | None]:
    """The column names and dtypes (None when the file has no such record),
    the telemetry messages' data, the recording's metadata record (its
    JSON text, None when it has none) and the messages' encoding (json, or
    cdr in a ROS 2 recording), read record by record; a file cut off is
    read up to its last whole record."""
    require()
    from mcap.exceptions import EndOfFile, McapError
    from mcap.records import Channel, Chunk, Message, Metadata
    from mcap.stream_reader import StreamReader, breakup_chunk

    size = os.path.getsize(path)
    with open(path, "rb") as f:
        data = f.read(_whole_records(f, size, path))
    names: list[str] | None = None
    dtypes: list[np.dtype[Any]] | None = None
    about: str | None = None
    encoding: str | None = None
    channels: set[int] = set()
    texts: list[bytes] = []
    records = StreamReader(io.BytesIO(data), emit_chunks=True, record_size_limit=len(data)).records
    try:
        for record in records:
            inner: Iterable[McapRecord]
            if isinstance(record, Chunk):
                if record.uncompressed_size > MAX_INFLATION * size + (1 << 20):
                    raise RecordingError(f"{path}: a chunk claims {record.uncompressed_size} bytes")
                try:
                    inner = breakup_chunk(record)
                except Exception as e:  # the decompressors' own errors among them
                    raise RecordingError(f"{path}: a chunk is damaged: {e}") from None
            else:
                inner = (record,)
            for r in inner:
                if isinstance(r, Channel) and r.topic == TOPIC:
                    channels.add(r.id)
                    encoding = r.message_encoding
                elif isinstance(r, Message) and r.channel_id in channels:
                    texts.append(r.data)
                elif isinstance(r, Metadata) and r.name == COLUMNS_METADATA:
                    names, dtypes = _columns(r.metadata, path)
                elif isinstance(r, Metadata) and r.name == KEY:
                    about = r.metadata.get("json")
    except EndOfFile:
        pass  # no footer: the file was cut off after its last whole record
    except (McapError, ValueError, KeyError, EOFError, TypeError, struct.error) as e:
        raise RecordingError(f"{path} is not an MCAP recording: {e}") from None
    return names, dtypes, texts, about, encoding


def _whole_records(f: IO[bytes], size: int, path: str) -> int:
    """Where the last whole record of the file ends: past the magic, each
    record is an opcode, a length and that many bytes."""
    magic = f.read(8)
    if magic != b"\x89MCAP0\r\n":
        raise RecordingError(f"{path} is not an MCAP recording (no MCAP magic)")
    end = 8
    while end + 9 <= size:
        f.seek(end + 1)
        length = struct.unpack("<Q", f.read(8))[0]
        if length > size - end - 9:
            break
        end += 9 + length
    f.seek(0)
    return size if end + 8 == size else end  # the closing magic


def _columns(metadata: dict[str, str], path: str) -> "tuple[list[str], list[np.dtype[Any]]]":
    try:
        names = metadata["names"].split(",")
        claimed = metadata["dtypes"].split(",")
    except (KeyError, AttributeError):
        raise RecordingError(f"{path}: its column record is damaged") from None
    dtypes = [d for d in map(number_dtype, claimed) if d is not None]
    if (
        len(names) != len(claimed)
        or len(dtypes) != len(claimed)
        or len(set(names)) != len(names)
        or not all(names)
    ):
        raise RecordingError(f"{path}: its column record is damaged")
    return names, dtypes


def read_metadata(path: str) -> dict[str, Any]:
    about = _messages(path)[3]
    return {} if about is None else decode(about, path)
