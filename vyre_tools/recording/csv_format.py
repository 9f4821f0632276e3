"""CSV: a header row of column names, then one row per packet with each
value as its shortest round-trip text (Arrow's float formatting)."""

import csv

from .arrow import require, schema, table, to_array
from .layout import RecordingError, column_dtype
from .writer import Writer


class CsvWriter(Writer):
    def __init__(self, path, dtype):
        super().__init__(path, dtype)
        require()
        import pyarrow.csv
        self._file = open(path, "wb")
        try:
            # the header unquoted, as the rows are
            self._file.write((",".join(dtype.names) + "\n").encode())
            self._csv = pyarrow.csv.CSVWriter(
                self._file, schema(dtype),
                write_options=pyarrow.csv.WriteOptions(include_header=False, quoting_style="none"))
        except BaseException:
            self._file.close()
            raise

    def _write_batch(self, batch):
        self._csv.write_table(table(batch))

    def _close(self):
        try:
            self._csv.close()
        finally:
            self._file.close()


def read(path):
    pa = require()
    import pyarrow.csv
    with open(path, newline="") as f:
        header = next(csv.reader(f), None)
    if not header:
        raise RecordingError(f"{path} is empty")
    types = {name: pa.from_numpy_dtype(column_dtype(name)) for name in header}
    try:
        tbl = pyarrow.csv.read_csv(path, convert_options=pyarrow.csv.ConvertOptions(
            column_types=types, strings_can_be_null=False))
    except pa.ArrowInvalid:
        raise RecordingError(_first_bad_row(path, len(header))) from None
    return to_array(tbl, path)


def _first_bad_row(path, width):
    """Where a file Arrow refused stops being a table of numbers (the slow
    way, once, to name the line)."""
    with open(path, newline="") as f:
        reader = csv.reader(f)
        next(reader, None)
        for row in reader:
            if not row:
                continue
            try:
                if len(row) != width:
                    raise ValueError
                for value in row:
                    float(value)
            except ValueError:
                return f"{path} line {reader.line_num}: not a row of numbers"
    return f"{path} is not a table of numbers"
