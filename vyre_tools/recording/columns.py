"""Some columns of a recording without the others, for the analysis of long
recordings: Parquet reads only those columns and NPZ only those members;
CSV, MCAP and a recording still being written (a journal) are read whole
and the other columns dropped at once."""

import os
from collections.abc import Sequence
from typing import Any

from . import journal
from .files import read
from .layout import Column, RecordingError, check_columns, format_of
from .metadata import NPZ_ENTRY


def read_columns(path: str | os.PathLike[str], names: Sequence[str]) -> dict[str, Column]:
    """Columns ``names`` of the recording in ``path`` (name -> 1-d array at
    the precision it was written with).  RecordingError as ``read`` raises
    it, and for a name the recording does not hold."""
    path = os.fspath(path)
    kind = format_of(path)
    try:
        if kind == "parquet" and not journal.is_journal(path):
            columns = _parquet(path, names)
        elif kind == "npz" and not journal.is_journal(path):
            columns = _npz(path, names)
        else:
            rows = read(path)
            columns = {name: rows[name].copy() for name in names if name in (rows.dtype.names or ())}
            del rows
    except RecordingError:
        raise
    except OSError as e:
        raise RecordingError(f"cannot read {path}: {e.strerror or e}") from None
    except (ValueError, TypeError, KeyError, IndexError, OverflowError, MemoryError) as e:
        raise RecordingError(
            f"{path} is not a {kind} recording: {type(e).__name__}: {str(e)[:200]}"
        ) from None
    missing = [name for name in names if name not in columns]
    if missing:
        raise RecordingError(f"{path} holds no column " + ", ".join(missing))
    if len({len(c) for c in columns.values()}) > 1:
        raise RecordingError(f"{path}: its columns differ in length")
    return columns


def _parquet(path: str, names: Sequence[str]) -> dict[str, Column]:
    from .arrow import require
    from .parquet_format import _check

    pa = require()
    import pyarrow.parquet

    import numpy as np

    out: dict[str, Column] = {}
    try:
        with pyarrow.parquet.ParquetFile(path) as f:
            _check(f, path, os.path.getsize(path))
            schema = f.schema_arrow
            check_columns(tuple(schema.names), path)
            groups = f.metadata.num_row_groups
            for name in names:
                if name not in schema.names:
                    continue
                # row group by row group into one array: Arrow's memory pool
                # keeps what it freed, so only a group's worth of it is used
                column = np.empty(f.metadata.num_rows, schema.field(name).type.to_pandas_dtype())
                at = 0
                for group in range(groups):
                    part: Any = f.read_row_group(group, columns=[name]).column(0)
                    if part.null_count:
                        part = part.fill_null(float("nan"))
                    values = part.to_numpy()
                    column[at : at + len(values)] = values
                    at += len(values)
                    del part, values
                if at != len(column):
                    raise RecordingError(f"{path}: its row groups do not add up to its row count")
                out[name] = column
    except pa.ArrowException as e:
        raise RecordingError(f"{path} is not a Parquet file: {e}") from None
    return out


def _npz(path: str, names: Sequence[str]) -> dict[str, Column]:
    import zipfile

    from .npz_format import _columns

    try:
        with zipfile.ZipFile(path) as archive:
            members = [i.filename[:-4] for i in archive.infolist() if i.filename.endswith(".npy")]
            check_columns(tuple(m for m in members if m != NPZ_ENTRY), path)
            return dict(_columns(archive, path, set(names)))
    except (EOFError, zipfile.BadZipFile, NotImplementedError) as e:
        raise RecordingError(f"{path} is not an NPZ archive of columns: {e}") from None
