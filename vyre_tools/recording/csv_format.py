"""CSV: a header row of column names, then one row per packet with each
value as its shortest round-trip text (Arrow's float formatting).

Rows are pushed to the disk every second; a file cut off (a crash, a full
disk) ends in a line cut mid-way, which reading leaves out."""

import contextlib
import io
from typing import TYPE_CHECKING, Any

from .arrow import require, schema, table, to_array
from .layout import RecordingError, Rows, column_dtype, column_names
from .writer import Writer, sync_file

if TYPE_CHECKING:
    import numpy as np


class CsvWriter(Writer):
    def __init__(self, path: str, dtype: "np.dtype[Any]") -> None:
        super().__init__(path, dtype)
        require()
        import pyarrow.csv

        names = column_names(dtype)
        self._file = open(path, "wb")
        try:
            # the header unquoted, as the rows are
            self._file.write((",".join(names) + "\n").encode())
            self._csv = pyarrow.csv.CSVWriter(
                self._file,
                schema(dtype),
                write_options=pyarrow.csv.WriteOptions(include_header=False, quoting_style="none"),
            )
            sync_file(self._file)  # a recording from the start
        except BaseException:
            self._file.close()
            raise

    def _write_batch(self, batch: "np.ndarray[Any, np.dtype[Any]]") -> None:
        self._csv.write_table(table(batch))

    def _sync(self) -> None:
        sync_file(self._file)

    def _close(self) -> None:
        self._csv.close()
        self._file.flush()

    def _release(self) -> None:
        with contextlib.suppress(Exception):
            self._csv.close()
        with contextlib.suppress(OSError):
            self._file.close()


def read(path: str) -> Rows:
    pa = require()
    import pyarrow.csv

    with open(path, "rb") as f:
        data = f.read()
    # a line cut mid-way (the end of a crashed or full-disk recording) is left out
    data = data[: data.rfind(b"\n") + 1]
    end = data.find(b"\n")
    header = data[:end].decode().rstrip("\r").split(",") if end > 0 else []
    if not header or not all(header):
        raise RecordingError(
            f"{path} is empty" if not data.strip() else f"{path} line 1: not a header of column names"
        )
    if len(set(header)) != len(header):
        raise RecordingError(f"{path} line 1: a column name comes twice")
    types = {name: pa.from_numpy_dtype(column_dtype(name)) for name in header}
    try:
        tbl = pyarrow.csv.read_csv(
            io.BytesIO(data),
            # one thread: a damaged file once crashed Arrow's threaded reader
            read_options=pyarrow.csv.ReadOptions(column_names=header, skip_rows=1, use_threads=False),
            parse_options=pyarrow.csv.ParseOptions(quote_char=False, newlines_in_values=False),
            convert_options=pyarrow.csv.ConvertOptions(column_types=types, strings_can_be_null=False),
        )
    except pa.ArrowInvalid:
        raise RecordingError(_first_bad_row(data, len(header), path)) from None
    return to_array(tbl, path)


def _first_bad_row(data: bytes, width: int, path: str) -> str:
    """Where a file Arrow refused stops being a table of numbers (the slow
    way, once, to name the line)."""
    for number, line in enumerate(data.split(b"\n")[1:], 2):
        row = line.rstrip(b"\r")
        if not row:
            continue
        values = row.split(b",")
        try:
            if len(values) != width:
                raise ValueError
            for value in values:
                float(value)
        except ValueError:
            return f"{path} line {number}: not a row of numbers"
    return f"{path} is not a table of numbers"
