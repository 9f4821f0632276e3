"""Structured arrays to Arrow tables and back (for the CSV, Parquet and
MCAP formats), and the shortest round-trip text of float values."""

from typing import TYPE_CHECKING, Any

from .layout import RecordingError, Rows, column_names, structured

if TYPE_CHECKING:
    import numpy as np

# pyarrow has no types: its tables, arrays and schemas are Any here


def require() -> Any:
    """The pyarrow module; RecordingError naming the extra when it is missing."""
    try:
        import pyarrow
    except ModuleNotFoundError:
        from ..procedures.extras import install_hint

        raise RecordingError(f"this recording format needs 'pyarrow': {install_hint('cli')}") from None
    return pyarrow


def schema(dtype: "np.dtype[Any]") -> Any:
    pa = require()
    return pa.schema([(name, pa.from_numpy_dtype(dtype[name])) for name in column_names(dtype)])


def table(batch: "np.ndarray[Any, np.dtype[Any]]") -> Any:
    pa = require()
    names = column_names(batch.dtype)
    return pa.table([pa.array(batch[name]) for name in names], names=list(names))


def to_array(tbl: Any, path: str) -> Rows:
    """The table as a structured array, each column at its Arrow type's precision."""
    columns: dict[str, np.ndarray[Any, np.dtype[Any]]] = {}
    for name, column in zip(tbl.column_names, tbl.columns):
        if column.null_count:
            column = column.fill_null(float("nan"))
        try:
            columns[name] = column.to_numpy()
        except Exception:  # a type numpy has no plain dtype for: not ours
            raise RecordingError(f"{path}: column {name!r} does not hold numbers") from None
    return structured(columns, path)


def texts(values: "np.ndarray[Any, np.dtype[Any]]") -> Any:
    """Each value as the shortest text that reads back to the same value at
    its own precision (22.73 for a float32, not 22.729999542236328)."""
    pa = require()
    return pa.compute.cast(pa.array(values), pa.string())
