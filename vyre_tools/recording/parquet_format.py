"""Parquet: one column per field at its own precision, in row groups of 64 Ki rows."""

from .arrow import require, schema, table, to_array
from .layout import RecordingError
from .writer import Writer


class ParquetWriter(Writer):
    batch_rows = 65536  # one row group each: large enough for column tools to scan fast

    def __init__(self, path, dtype):
        super().__init__(path, dtype)
        require()
        import pyarrow.parquet
        self._parquet = pyarrow.parquet.ParquetWriter(path, schema(dtype))

    def _write_batch(self, batch):
        self._parquet.write_table(table(batch))

    def _close(self):
        self._parquet.close()


def read(path):
    pa = require()
    import pyarrow.parquet
    try:
        tbl = pyarrow.parquet.read_table(path)
    except pa.ArrowException as e:
        raise RecordingError(f"{path} is not a Parquet file: {e}") from None
    return to_array(tbl, path)
