"""What the writers of every format share: batches, the row count, a sync
to the disk every second, and one error for a failed write."""

import os
import time
from types import TracebackType

from .layout import RecordingError

from typing import IO, TYPE_CHECKING, Any, Self

if TYPE_CHECKING:
    import numpy as np


class Writer:
    """Takes structured arrays of one dtype; a format writes whole batches
    of at least ``batch_rows`` rows, or whatever came within
    ``sync_seconds`` (and the rest at ``close``), so its per-call costs are
    paid per batch, not per poll, and a crash loses at most about that much.

    A write that fails (a full disk) raises RecordingError with the
    system's reason once; the writer is spent then, and ``close`` only
    releases the file."""

    batch_rows = 1024
    max_batch_rows = 65536  # a whole recording handed over at once goes in pieces
    sync_seconds = 1.0

    path: str
    """The file written."""
    rows: int
    """Rows taken so far."""

    def __init__(self, path: str, dtype: "np.dtype[Any]") -> None:
        self.path = path
        self.dtype = dtype
        self.rows = 0
        self._pending: list[np.ndarray[Any, np.dtype[Any]]] = []
        self._pending_rows = 0
        self._synced = time.monotonic()
        self._failed: str | None = None

    def write(self, rows: "np.ndarray[Any, np.dtype[Any]]") -> None:
        """Takes ``rows`` (a structured array of the recording's dtype, such as
        ``VYREClient.get_data_array()`` returns); RecordingError for another
        layout."""
        if rows.dtype != self.dtype:
            raise RecordingError(f"{self.path}: rows of another layout than the recording's")
        if self._failed:
            raise RecordingError(self._failed)
        if not len(rows):
            return
        self._pending.append(rows)
        self._pending_rows += len(rows)
        self.rows += len(rows)
        if self._pending_rows >= self.batch_rows or time.monotonic() - self._synced >= self.sync_seconds:
            self.flush()

    def flush(self) -> None:
        """Writes the rows held so far and, at most once a second, pushes
        them to the disk."""
        if self._failed:
            raise RecordingError(self._failed)
        with self._failing():
            if self._pending:
                import numpy as np

                batch = self._pending[0] if len(self._pending) == 1 else np.concatenate(self._pending)
                self._pending, self._pending_rows = [], 0
                step = max(self.batch_rows, self.max_batch_rows)
                for start in range(0, len(batch), step):
                    self._write_batch(batch[start : start + step])
            if time.monotonic() - self._synced >= self.sync_seconds:
                self._synced = time.monotonic()
                self._sync()

    def close(self) -> None:
        """Writes what is pending and closes the file."""
        if self._failed:
            self._release()
            return
        try:
            self.flush()
            with self._failing():
                self._close()
        finally:
            self._release()

    def _failing(self) -> "_Failing":
        return _Failing(self)

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _write_batch(self, batch: "np.ndarray[Any, np.dtype[Any]]") -> None:
        raise NotImplementedError

    def _sync(self) -> None:
        """Pushes what was written to the disk (a crash keeps it)."""
        raise NotImplementedError

    def _close(self) -> None:
        """Completes the file."""
        raise NotImplementedError

    def _release(self) -> None:
        """Closes what is open, whatever happened before; never raises."""
        raise NotImplementedError


def sync_file(f: IO[bytes]) -> None:
    f.flush()
    os.fsync(f.fileno())


class _Failing:
    """Turns an OSError into the writer's one RecordingError and marks it spent."""

    def __init__(self, writer: Writer) -> None:
        self.writer = writer

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        if isinstance(error, OSError):
            self.writer._failed = f"cannot write {self.writer.path}: {error.strerror or error}"
            raise RecordingError(self.writer._failed) from None
        if isinstance(error, RecordingError):
            self.writer._failed = str(error)
