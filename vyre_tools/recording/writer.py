"""What the writers of every format share: batches and the row count."""

from typing import TYPE_CHECKING, Any, Self

if TYPE_CHECKING:
    import numpy as np


class Writer:
    """Takes structured arrays of one dtype; a format writes whole batches
    of at least ``batch_rows`` rows (and the rest at ``close``), so its
    per-call costs are paid per batch, not per poll."""

    batch_rows = 1024
    max_batch_rows = 65536  # a whole recording handed over at once goes in pieces

    path: str
    """The file written."""
    rows: int
    """Rows taken so far."""

    def __init__(self, path: str, dtype: "np.dtype[Any]") -> None:
        self.path = path
        self.dtype = dtype
        self.rows = 0
        self._pending = []
        self._pending_rows = 0

    def write(self, rows: "np.ndarray[Any, np.dtype[Any]]") -> None:
        """Takes ``rows`` (a structured array of the recording's dtype, such as
        ``VYREClient.get_data_array()`` returns); RecordingError for another
        layout."""
        from .layout import RecordingError
        if rows.dtype != self.dtype:
            raise RecordingError(f"{self.path}: rows of another layout than the recording's")
        if not len(rows):
            return
        self._pending.append(rows)
        self._pending_rows += len(rows)
        self.rows += len(rows)
        if self._pending_rows >= self.batch_rows:
            self.flush()

    def flush(self) -> None:
        if not self._pending:
            return
        import numpy as np
        batch = self._pending[0] if len(self._pending) == 1 else np.concatenate(self._pending)
        self._pending, self._pending_rows = [], 0
        step = max(self.batch_rows, self.max_batch_rows)
        for start in range(0, len(batch), step):
            self._write_batch(batch[start:start + step])

    def close(self) -> None:
        """Writes what is pending and closes the file."""
        try:
            self.flush()
        finally:
            self._close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _write_batch(self, batch: "np.ndarray[Any, np.dtype[Any]]") -> None:
        raise NotImplementedError

    def _close(self) -> None:
        raise NotImplementedError
