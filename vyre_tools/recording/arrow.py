"""Structured arrays to Arrow tables and back (for the CSV, Parquet and
MCAP formats), and the shortest round-trip text of float values."""

from .layout import RecordingError, structured


def require():
    """The pyarrow module; RecordingError naming the extra when it is missing."""
    try:
        import pyarrow
    except ModuleNotFoundError:
        raise RecordingError("this recording format needs 'pyarrow': install the cli extra "
                             "(pip install 'vyre-client[cli]')") from None
    return pyarrow


def schema(dtype):
    pa = require()
    return pa.schema([(name, pa.from_numpy_dtype(dtype[name])) for name in dtype.names])


def table(batch):
    pa = require()
    return pa.table([pa.array(batch[name]) for name in batch.dtype.names],
                    names=list(batch.dtype.names))


def to_array(tbl, path):
    """The table as a structured array, each column at its Arrow type's precision."""
    columns = {}
    for name, column in zip(tbl.column_names, tbl.columns):
        if column.null_count:
            column = column.fill_null(float("nan"))
        try:
            columns[name] = column.to_numpy()
        except Exception:  # a type numpy has no plain dtype for: not ours
            raise RecordingError(f"{path}: column {name!r} does not hold numbers") from None
    return structured(columns, path)


def texts(values):
    """Each value as the shortest text that reads back to the same value at
    its own precision (22.73 for a float32, not 22.729999542236328)."""
    pa = require()
    return pa.compute.cast(pa.array(values), pa.string())
