"""Parquet: one column per field at its own precision, in row groups of 64 Ki rows.

While rows come the path holds a journal (journal.py); closing writes the
Parquet file from it."""

from typing import IO, TYPE_CHECKING, Any

from . import journal
from .arrow import require, schema, table, to_array
from .layout import RecordingError, Rows
from .journal import JournaledWriter
from .metadata import KEY, decode, encode
from .npz_format import MAX_INFLATION

if TYPE_CHECKING:
    import numpy as np

ROW_GROUP_ROWS = 65536  # large enough for column tools to scan fast


class ParquetWriter(JournaledWriter):
    def __init__(self, path: str, dtype: "np.dtype[Any]", metadata: dict[str, Any] | None = None) -> None:
        require()
        super().__init__(path, dtype, metadata)

    def _finish(self, records: list[Rows], out: IO[bytes]) -> None:
        import numpy as np
        import pyarrow.parquet

        with pyarrow.parquet.ParquetWriter(out, with_metadata(schema(self.dtype), self.metadata)) as parquet:
            group: list[Rows] = []
            rows = 0
            for record in [*records, None]:
                if record is not None:
                    group.append(record)
                    rows += len(record)
                if group and (rows >= ROW_GROUP_ROWS or record is None):
                    parquet.write_table(table(np.concatenate(group)), row_group_size=ROW_GROUP_ROWS)
                    group, rows = [], 0


def with_metadata(arrow_schema: Any, meta: dict[str, Any] | None) -> Any:
    if meta is None:
        return arrow_schema
    return arrow_schema.with_metadata({KEY: encode(meta)})


def read_metadata(path: str) -> dict[str, Any]:
    if journal.is_journal(path):
        return journal.metadata(path)
    pa = require()
    import pyarrow.parquet

    try:
        found = pyarrow.parquet.read_schema(path).metadata or {}
    except pa.ArrowException:
        return {}
    text = found.get(KEY.encode())
    return decode(text.decode("utf-8", "replace"), path) if text else {}


def read(path: str) -> Rows:
    if journal.is_journal(path):
        return journal.read(path)
    import os

    pa = require()
    import pyarrow.parquet

    try:
        with pyarrow.parquet.ParquetFile(path) as f:
            # what the footer claims is checked before anything is made from it
            _check(f, path, os.path.getsize(path))
            tbl = f.read()
    except (pa.ArrowException, OSError) as e:
        raise RecordingError(f"{path} is not a Parquet file: {e}") from None
    return to_array(tbl, path)


def _check(f: Any, path: str, size: int) -> None:
    import pyarrow as pa

    for field in f.schema_arrow:
        if not (pa.types.is_floating(field.type) or pa.types.is_integer(field.type)):
            raise RecordingError(f"{path}: column {field.name!r} does not hold numbers")
    meta = f.metadata
    unpacked = sum(meta.row_group(i).total_byte_size for i in range(meta.num_row_groups))
    if unpacked > MAX_INFLATION * size + (1 << 20) or meta.num_rows * 8 * meta.num_columns > (
        MAX_INFLATION * size + (1 << 20)
    ):
        raise RecordingError(f"{path}: its footer claims more data than the file can hold")
