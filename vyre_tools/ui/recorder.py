"""Recordings made from the page: one writer at a time, fed every packet by
the session's consumer task, in a folder the page lists for download.

The file work (the writes, a sync to the disk every second, laying out a
Parquet file at the end) runs on a thread of the recording's own, never on
the event loop that serves the pages; ``finish()`` awaits the file's end."""

import asyncio
import datetime
import os
import queue
import threading
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


class _Run:
    """One recording: its writer, fed on a thread of its own."""

    def __init__(self, writer: Any) -> None:
        self.writer = writer
        self.taken = 0
        self.ending = False  # asked to complete its file
        self.failure: str | None = None  # set by the thread, read on the loop
        self.rows: queue.SimpleQueue[Any] = queue.SimpleQueue()
        self.thread = threading.Thread(target=self._write_all, name="vyre-ui recorder", daemon=True)
        self.thread.start()

    def _write_all(self) -> None:
        try:
            while (batch := self.rows.get()) is not None:
                self.writer.write(batch)
        except recording.RecordingError as e:
            self.failure = str(e)
        try:
            self.writer.close()
        except recording.RecordingError as e:
            self.failure = self.failure or str(e)


class Recorder:
    """Writes what ``write`` is given to a file while started."""

    def __init__(self, folder: str) -> None:
        self.folder = folder
        self._run: _Run | None = None
        self._error: str | None = None

    @property
    def error(self) -> str | None:
        """Why the last recording ended early (None if it did not)."""
        run = self._run
        return run.failure if run is not None and run.failure is not None else self._error

    @property
    def active(self) -> bool:
        return self._run is not None and self._run.failure is None

    @property
    def path(self) -> str | None:
        return str(self._run.writer.path) if self._run is not None else None

    @property
    def rows(self) -> int:
        return self._run.taken if self._run is not None else 0

    def start(self, fmt: str, metadata: dict[str, Any] | None = None) -> str:
        """Opens a new file of format ``fmt`` (a key of FORMATS); its path."""
        if self._run is not None and self._run.failure is not None:
            self.stop()  # its thread has ended: the join is at once
        if self._run is not None:
            raise RuntimeError(f"already recording to {self.path}")
        os.makedirs(self.folder, exist_ok=True)
        stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S-%f")[:-3]
        path = os.path.join(self.folder, f"vyre-{stamp}{FORMATS[fmt]}")
        self._run = _Run(recording.open_writer(path, recording.packet_dtype(), metadata))
        self._error = None
        return path

    def write(self, rows: "Rows") -> None:
        run = self._run
        if run is None or run.failure is not None or run.ending:
            return
        run.taken += len(rows)
        run.rows.put(rows)

    def stop(self) -> str | None:
        """Completes the file, waiting for it; its path (None when nothing
        was recording). On the event loop, ``await finish()`` instead."""
        run = self._end()
        if run is None:
            return None
        run.thread.join()
        return self._ended(run)

    async def finish(self) -> str | None:
        """``stop`` without holding up the event loop meanwhile; the
        recording stays active (and takes nothing more) until its file is
        complete."""
        run = self._end()
        if run is None:
            return None
        await asyncio.to_thread(run.thread.join)
        return self._ended(run)

    def _end(self) -> _Run | None:
        run = self._run
        if run is not None and not run.ending:
            run.ending = True
            run.rows.put(None)
        return run

    def _ended(self, run: _Run) -> str:
        if self._run is run:
            self._run = None
        if run.failure is not None:
            self._error = run.failure
        return str(run.writer.path)

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
