"""NPZ: NumPy's zip of arrays, one per column, for ``numpy.load``.

A zip is written whole, so while rows come the path holds a journal
(journal.py) that closing lays out column by column."""

import os
import zipfile
from collections.abc import Collection, Iterator
from typing import IO, Any

from . import journal
from .journal import JournaledWriter
from .layout import Column, RecordingError, Rows, column_names, structured
from .metadata import NPZ_ENTRY, decode, encode

# a column may inflate to this many times the file's size (np.savez stores
# them plainly; savez_compressed of telemetry stays far below)
MAX_INFLATION = 64


class NpzWriter(JournaledWriter):
    def _finish(self, records: list[Rows], out: IO[bytes]) -> None:
        # as np.savez lays them out, one column in memory at a time
        import numpy as np

        with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED, allowZip64=True) as archive:
            for name in column_names(self.dtype):
                column = (
                    np.concatenate([r[name] for r in records]) if records else np.empty(0, self.dtype[name])
                )
                with archive.open(name + ".npy", "w", force_zip64=True) as f:
                    np.lib.format.write_array(f, column, allow_pickle=False)
            if self.metadata is not None:
                with archive.open(NPZ_ENTRY + ".npy", "w") as f:
                    np.lib.format.write_array(f, np.array(encode(self.metadata)), allow_pickle=False)


def read(path: str) -> Rows:
    if journal.is_journal(path):
        return journal.read(path)
    try:
        with zipfile.ZipFile(path) as archive:
            return structured({name: column for name, column in _columns(archive, path)}, path)
    except (ValueError, EOFError, zipfile.BadZipFile, NotImplementedError) as e:
        raise RecordingError(f"{path} is not an NPZ archive of columns: {e}") from None


def _columns(
    archive: zipfile.ZipFile, path: str, wanted: Collection[str] | None = None
) -> Iterator[tuple[str, Column]]:
    """(name, 1-d array) of each member (of those ``wanted`` when given),
    sizes checked before anything is made from what the file claims."""
    import numpy as np

    budget = MAX_INFLATION * os.path.getsize(path) + (1 << 20)
    for info in archive.infolist():
        if info.filename == NPZ_ENTRY + ".npy":
            continue  # what the recording came from, not a column
        if not info.filename.endswith(".npy"):
            raise RecordingError(f"{path}: {info.filename!r} is not an array")
        if info.file_size > budget:
            raise RecordingError(f"{path}: {info.filename!r} claims {info.file_size} bytes")
        budget -= info.file_size
        if wanted is not None and info.filename[:-4] not in wanted:
            continue
        with archive.open(info) as f:
            version = np.lib.format.read_magic(f)
            header = {
                (1, 0): np.lib.format.read_array_header_1_0,
                (2, 0): np.lib.format.read_array_header_2_0,
            }.get(version)
            if header is None:
                raise RecordingError(f"{path}: {info.filename!r} is an array of version {version}")
            shape, fortran, dtype = header(f)
            if dtype.kind not in "fiu" or dtype.hasobject or len(shape) != 1:
                raise RecordingError(f"{path}: {info.filename!r} is not a column of numbers")
            data = f.read(
                shape[0] * dtype.itemsize
                if shape[0] * dtype.itemsize <= info.file_size
                else info.file_size + 1
            )
            if len(data) != shape[0] * dtype.itemsize:
                raise RecordingError(f"{path}: {info.filename!r} is cut short or too long")
            yield info.filename[:-4], np.frombuffer(bytearray(data), dtype)


def read_metadata(path: str) -> dict[str, Any]:
    import numpy as np

    if journal.is_journal(path):
        return journal.metadata(path)
    try:
        with np.load(path, allow_pickle=False) as archive:
            if NPZ_ENTRY not in archive.files:
                return {}
            return decode(str(archive[NPZ_ENTRY][()]), path)
    except (ValueError, EOFError, AttributeError, TypeError, zipfile.BadZipFile):
        return {}
