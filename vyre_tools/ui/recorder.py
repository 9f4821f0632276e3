"""Recordings made from the page: one writer at a time, fed every packet by
the session's consumer task, in a folder the page lists for download."""

import datetime
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from .. import recording

if TYPE_CHECKING:
    from .display import Rows

#: format name shown on the page -> file suffix
FORMATS = {"CSV": ".csv", "Parquet": ".parquet", "NPZ": ".npz", "MCAP": ".mcap"}


@dataclass(frozen=True)
class RecordingFile:
    name: str
    path: str
    size: int


class Recorder:
    """Writes what ``write`` is given to a file while started."""

    def __init__(self, folder: str) -> None:
        self.folder = folder
        self._writer: Any = None
        self.error: str | None = None  # why the last recording ended early

    @property
    def active(self) -> bool:
        return self._writer is not None

    @property
    def path(self) -> str | None:
        return self._writer.path if self._writer is not None else None

    @property
    def rows(self) -> int:
        return self._writer.rows if self._writer is not None else 0

    def start(self, fmt: str, metadata: dict[str, Any] | None = None) -> str:
        """Opens a new file of format ``fmt`` (a key of FORMATS); its path."""
        if self._writer is not None:
            raise RuntimeError(f"already recording to {self._writer.path}")
        os.makedirs(self.folder, exist_ok=True)
        stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S-%f")[:-3]
        path = os.path.join(self.folder, f"vyre-{stamp}{FORMATS[fmt]}")
        self._writer = recording.open_writer(path, recording.packet_dtype(), metadata)
        self.error = None
        return path

    def write(self, rows: "Rows") -> None:
        if self._writer is None:
            return
        try:
            self._writer.write(rows)
        except recording.RecordingError as e:
            self.error = str(e)
            self.stop()

    def stop(self) -> str | None:
        """Completes the file; its path (None when nothing was recording)."""
        writer, self._writer = self._writer, None
        if writer is None:
            return None
        try:
            writer.close()
        except recording.RecordingError as e:
            self.error = str(e)
        return str(writer.path)

    def files(self) -> list[RecordingFile]:
        """The recordings in the folder, newest first."""
        try:
            names = os.listdir(self.folder)
        except FileNotFoundError:
            return []
        found = []
        for name in names:
            path = os.path.join(self.folder, name)
            if os.path.splitext(name)[1] in recording.FORMATS and os.path.isfile(path):
                found.append((os.path.getmtime(path), RecordingFile(name, path, os.path.getsize(path))))
        return [f for _, f in sorted(found, key=lambda item: item[0], reverse=True)]
