"""MCAP: one JSON message per packet with a JSON schema, the encodings that
robotics viewers read without plugins.

Messages are logged (and published) at the host receive time, in
nanoseconds since the epoch; the device's own clock is the message field
``timestamp_seconds``.  JSON has no NaN or infinities: NaN is written as
null and an infinity as 1e999, which JSON readers take as one.  The columns'
names and precisions go into a metadata record, so reading gives back
float32 columns as float32."""

import json

from .arrow import texts
from .layout import HOST_TIME, RecordingError, column_dtype, structured
from .metadata import KEY, decode, encode
from .writer import Writer

TOPIC = "/vyre/telemetry"
SCHEMA_NAME = "vyre.Telemetry"
COLUMNS_METADATA = "vyre.columns"


def require():
    try:
        import mcap.writer
    except ModuleNotFoundError:
        raise RecordingError("the .mcap format needs 'mcap': install the cli extra "
                             "(pip install 'vyre-client[cli]')") from None
    return mcap


def json_schema(names):
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
    def __init__(self, path, dtype, metadata=None):
        super().__init__(path, dtype)
        require()
        from mcap.writer import Writer as Mcap
        names = dtype.names
        self._file = open(path, "wb")
        try:
            self._mcap = Mcap(self._file)
            self._mcap.start(profile="", library="vyre_tools")
            schema = self._mcap.register_schema(SCHEMA_NAME, "jsonschema",
                                                json.dumps(json_schema(names)).encode())
            self._channel = self._mcap.register_channel(TOPIC, "json", schema)
            self._mcap.add_metadata(COLUMNS_METADATA, {
                "names": ",".join(names), "dtypes": ",".join(dtype[n].str for n in names)})
            if metadata is not None:
                self._mcap.add_metadata(KEY, {"json": encode(metadata)})
        except BaseException:
            self._file.close()
            raise
        # the pieces of a message around its values: {"name":v,"name":v}
        self._keys = [("{" if i == 0 else ",") + json.dumps(n) + ":" for i, n in enumerate(names)]
        self._clock = HOST_TIME if HOST_TIME in names else names[0]

    def _write_batch(self, batch):
        import numpy as np
        import pyarrow as pa
        import pyarrow.compute as pc
        parts = []
        for key, name in zip(self._keys, batch.dtype.names):
            values = batch[name]
            text = texts(values)
            if not np.isfinite(values).all():
                text = pc.if_else(pc.is_nan(pa.array(values)), "null",
                                  pc.replace_substring(text, "inf", "1e999"))
            parts += [key, text]
        messages = pc.binary_join_element_wise(*parts, "}", "").to_pylist()
        clock = batch[self._clock].astype(np.float64) * 1e9
        stamps = np.where(np.isfinite(clock) & (clock >= 0), clock, 0).astype(np.int64).tolist()
        add, channel = self._mcap.add_message, self._channel
        for sequence, (message, stamp) in enumerate(zip(messages, stamps), self.rows - len(batch)):
            add(channel, stamp, message.encode(), stamp, sequence & 0xFFFF_FFFF)

    def _close(self):
        try:
            self._mcap.finish()
        finally:
            self._file.close()


def read(path):
    import numpy as np
    require()
    from mcap.exceptions import McapError
    from mcap.reader import make_reader
    try:
        with open(path, "rb") as f:
            reader = make_reader(f)
            names = dtypes = None
            for record in reader.iter_metadata():
                if record.name == COLUMNS_METADATA:
                    names = record.metadata["names"].split(",")
                    dtypes = [np.dtype(d) for d in record.metadata["dtypes"].split(",")]
            texts = [message.data for _, _, message in reader.iter_messages(topics=[TOPIC], log_time_order=False)]
    except (McapError, ValueError, KeyError, EOFError) as e:
        raise RecordingError(f"{path} is not an MCAP recording: {e}") from None
    try:
        rows = json.loads(b"[" + b",".join(texts) + b"]", parse_int=float)  # -0 stays -0.0
    except ValueError as e:
        raise RecordingError(f"{path}: a message is not JSON: {e}") from None
    if names is None:
        names = list(rows[0]) if rows else []
        dtypes = [column_dtype(n) for n in names]
    try:
        # via float64, the nearest to the text: a float32's shortest text
        # comes back to the same float32
        columns = {name: np.array([row[name] for row in rows], dtype=np.float64).astype(dtype)
                   for name, dtype in zip(names, dtypes)}
    except (KeyError, TypeError, ValueError):
        raise RecordingError(f"{path}: a message lacks a field or holds no number") from None
    return structured(columns, path)


def read_metadata(path):
    require()
    from mcap.exceptions import McapError
    from mcap.reader import make_reader
    try:
        with open(path, "rb") as f:
            for record in make_reader(f).iter_metadata():
                if record.name == KEY:
                    return decode(record.metadata.get("json"), path)
    except (McapError, ValueError, KeyError, EOFError):
        pass
    return {}
