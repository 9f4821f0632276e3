"""The file a Parquet or NPZ recording is while it is being made.

Neither format can be read before it is complete (Parquet's footer, the
zip's directory come last), so while rows come the recording's own path
holds a journal: a header naming the columns, then the rows as they are in
memory, in records of ``u32 length, u32 crc32, rows``, pushed to the disk
every second.  Closing lays the journal out in the final format in a
scratch file beside it and puts that in its place, so the path holds a
complete journal or a complete recording at any moment.

After a crash (a kill, a power loss) the journal stays: reading takes every
record up to the first one that is cut short or fails its check, which is
what the crash left unfinished.  The header must be whole."""

import contextlib
import json
import os
import struct
import zlib
from typing import IO, TYPE_CHECKING, Any

from .layout import RecordingError, Rows, column_names, number_dtype
from .writer import Writer

if TYPE_CHECKING:
    import numpy as np

MAGIC = b"VYRE-JOURNAL-1\n\x00"
_HEAD = struct.Struct("<I")
_RECORD = struct.Struct("<II")
_MAX_HEADER = 1 << 16


def is_journal(path: str) -> bool:
    with open(path, "rb") as f:
        return f.read(len(MAGIC)) == MAGIC


class JournalFile:
    """Appends rows of ``dtype`` to a journal at ``path``."""

    def __init__(self, path: str, dtype: "np.dtype[Any]", metadata: dict[str, Any] | None = None) -> None:
        self.dtype = dtype
        self.file = open(path, "wb")
        try:
            names = column_names(dtype)
            head: dict[str, Any] = {"names": list(names), "dtypes": [dtype[n].str for n in names]}
            if metadata is not None:
                head["metadata"] = metadata
            header = json.dumps(head).encode()
            self.file.write(MAGIC + _HEAD.pack(len(header)) + header)
            self.sync()
        except BaseException:
            self.file.close()
            raise

    def append(self, batch: "np.ndarray[Any, np.dtype[Any]]") -> None:
        data = batch.tobytes()
        self.file.write(_RECORD.pack(len(data), zlib.crc32(data)) + data)

    def sync(self) -> None:
        self.file.flush()
        os.fsync(self.file.fileno())


def read(path: str) -> Rows:
    """The rows of the journal at ``path``: one structured array."""
    import numpy as np

    dtype, records = open_records(path)
    return np.concatenate(records) if records else np.empty(0, dtype)


def open_records(path: str) -> "tuple[np.dtype[np.void], list[Rows]]":
    """The dtype of the journal at ``path`` and its whole records, each a
    structured array over the file mapped into memory (nothing is copied)."""
    import numpy as np

    size = os.path.getsize(path)
    if size < len(MAGIC) + _HEAD.size:
        raise RecordingError(f"{path}: the recording was cut off before its first rows")
    data = np.memmap(path, dtype=np.uint8, mode="r")
    if bytes(data[: len(MAGIC)]) != MAGIC:
        raise RecordingError(f"{path} is not a recording journal")
    at = len(MAGIC) + _HEAD.size
    length = _HEAD.unpack(bytes(data[len(MAGIC) : at]))[0]
    if not 0 < length <= min(_MAX_HEADER, size - at):
        raise RecordingError(f"{path}: the recording was cut off before its first rows")
    dtype = _dtype(bytes(data[at : at + length]), path)
    at += length
    records: list[Rows] = []
    while at + _RECORD.size <= size:
        length, crc = _RECORD.unpack(bytes(data[at : at + _RECORD.size]))
        at += _RECORD.size
        if length % dtype.itemsize or length > size - at:
            break  # cut short by the crash
        record = data[at : at + length]
        if zlib.crc32(record) != crc:
            break  # written in part when the power went
        records.append(record.view(dtype))
        at += length
    return dtype, records


def metadata(path: str) -> dict[str, Any]:
    """What the journal at ``path`` says it came from ({} when nothing)."""
    with open(path, "rb") as f:
        head = f.read(len(MAGIC) + _HEAD.size)
        if len(head) < len(MAGIC) + _HEAD.size or head[: len(MAGIC)] != MAGIC:
            return {}
        length = _HEAD.unpack(head[len(MAGIC) :])[0]
        header = f.read(min(length, _MAX_HEADER))
    try:
        found = json.loads(header).get("metadata")
    except (ValueError, AttributeError, RecursionError):
        return {}
    return found if isinstance(found, dict) else {}


def _dtype(header: bytes, path: str) -> "np.dtype[np.void]":
    import numpy as np

    try:
        data = json.loads(header)
        names, dtypes = data["names"], data["dtypes"]
        if not (
            isinstance(names, list)
            and isinstance(dtypes, list)
            and len(names) == len(dtypes) == len(set(names)) > 0
            and all(isinstance(n, str) and n for n in names)
            and all(number_dtype(d) is not None for d in dtypes)
        ):
            raise ValueError
        return np.dtype([(n, number_dtype(d)) for n, d in zip(names, dtypes)])
    except (ValueError, TypeError, KeyError, RecursionError):
        raise RecordingError(f"{path}: the journal's header is damaged") from None


class JournaledWriter(Writer):
    """A writer whose rows go to a journal until ``close`` lays them out
    with ``_finish(records, file)`` (the journal's records, see
    ``open_records``)."""

    def __init__(self, path: str, dtype: "np.dtype[Any]", metadata: dict[str, Any] | None = None) -> None:
        super().__init__(path, dtype)
        self.metadata = metadata
        self._journal = JournalFile(path, dtype, metadata)

    def _write_batch(self, batch: "np.ndarray[Any, np.dtype[Any]]") -> None:
        self._journal.append(batch)

    def _sync(self) -> None:
        self._journal.sync()

    def _close(self) -> None:
        self._journal.sync()
        scratch = os.path.join(
            os.path.dirname(os.path.abspath(self.path)),
            f".{os.path.basename(self.path)}.{os.getpid()}.partial",
        )
        try:
            dtype, records = open_records(self.path)
            if sum(map(len, records)) != self.rows:
                raise RecordingError(f"{self.path}: the journal lost rows while recording")
            with open(scratch, "wb") as out:
                self._finish(records, out)
                out.flush()
                os.fsync(out.fileno())
            del records
            os.replace(scratch, self.path)
        except BaseException as e:
            with contextlib.suppress(OSError):
                os.unlink(scratch)
            if not isinstance(e, OSError):
                raise
            # the journal stays, and reads back
            raise RecordingError(
                f"cannot finish {self.path}: {e.strerror or e} (its rows are "
                "kept in a journal that 'vyre convert' reads)"
            ) from None

    def _release(self) -> None:
        with contextlib.suppress(OSError):
            self._journal.file.close()

    def _finish(self, records: list[Rows], out: IO[bytes]) -> None:
        raise NotImplementedError
