"""Opening, reading and converting recordings by their suffix."""

import importlib
import os

from .layout import RecordingError, format_of

WRITERS = {"csv": "CsvWriter", "parquet": "ParquetWriter", "npz": "NpzWriter",
           "mcap": "McapWriter"}


def _module(path):
    return importlib.import_module(f"{__package__}.{format_of(path)}_format")


def open_writer(path, dtype):
    """A writer of rows of ``dtype`` into ``path`` in the format of its
    suffix: ``write(rows)``, ``rows`` (the count so far), ``close()``."""
    module = _module(path)
    try:
        return getattr(module, WRITERS[format_of(path)])(os.fspath(path), dtype)
    except OSError as e:
        raise RecordingError(f"cannot write {os.fspath(path)}: {e.strerror or e}") from None


def read(path):
    """The recording in ``path`` as one structured array, each column at the
    precision it was written with.  RecordingError naming the file and the
    problem for anything else, memory kept to a small multiple of the
    file's size whatever its contents claim."""
    module = _module(path)
    path = os.fspath(path)
    try:
        return module.read(path)
    except RecordingError:
        raise
    except UnicodeDecodeError:
        raise RecordingError(f"{path} is not a text file") from None
    except OSError as e:
        raise RecordingError(f"cannot read {path}: {e.strerror or e}") from None
    except (ValueError, TypeError, KeyError, IndexError, OverflowError, RecursionError,
            MemoryError) as e:
        # what the checks of each format did not foresee: still one line
        raise RecordingError(f"{path} is not a {format_of(path)} recording: "
                             f"{type(e).__name__}: {str(e)[:200]}") from None


def convert(source, target):
    """Reads ``source`` and writes its rows to ``target``; the row count."""
    if os.path.abspath(source) == os.path.abspath(target):
        raise RecordingError(f"{os.fspath(source)}: converting a recording into itself")
    format_of(target)  # an unknown suffix fails before anything is read
    rows = read(source)
    with open_writer(target, rows.dtype) as writer:
        writer.write(rows)
    return len(rows)
