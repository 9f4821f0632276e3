"""Parquet: one column per field at its own precision, in row groups of 64 Ki rows."""

from .arrow import require, schema, table, to_array
from .layout import RecordingError
from .metadata import KEY, decode, encode
from .writer import Writer


class ParquetWriter(Writer):
    batch_rows = 65536  # one row group each: large enough for column tools to scan fast

    def __init__(self, path, dtype, metadata=None):
        super().__init__(path, dtype)
        require()
        import pyarrow.parquet
        self._parquet = pyarrow.parquet.ParquetWriter(path, with_metadata(schema(dtype), metadata))

    def _write_batch(self, batch):
        self._parquet.write_table(table(batch))

    def _close(self):
        self._parquet.close()


def with_metadata(arrow_schema, meta):
    if meta is None:
        return arrow_schema
    return arrow_schema.with_metadata({KEY: encode(meta)})


def read_metadata(path):
    pa = require()
    import pyarrow.parquet
    try:
        found = pyarrow.parquet.read_schema(path).metadata or {}
    except pa.ArrowException:
        return {}
    text = found.get(KEY.encode())
    return decode(text.decode("utf-8", "replace"), path) if text else {}


def read(path):
    pa = require()
    import pyarrow.parquet
    try:
        tbl = pyarrow.parquet.read_table(path)
    except pa.ArrowException as e:
        raise RecordingError(f"{path} is not a Parquet file: {e}") from None
    return to_array(tbl, path)
