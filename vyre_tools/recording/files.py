"""Opening, reading and converting recordings by their suffix."""

import importlib
import os
from typing import TYPE_CHECKING, Any, Protocol, cast

from . import metadata
from .layout import RecordingError, Rows, check_columns, column_names, format_of
from .writer import Writer

if TYPE_CHECKING:
    import numpy as np

    from .mcap_ros2 import McapRos2Writer

WRITERS = {"csv": "CsvWriter", "parquet": "ParquetWriter", "npz": "NpzWriter", "mcap": "McapWriter"}


class _Format(Protocol):
    """What the module of each format offers beside its writer (all but
    CSV's, whose metadata lies beside it, read metadata)."""

    def read(self, path: str) -> Rows: ...

    def read_metadata(self, path: str) -> dict[str, Any]: ...


def _module(path: str | os.PathLike[str]) -> _Format:
    # imported by name: a format's third-party package loads when it is used
    return cast(_Format, importlib.import_module(f"{__package__}.{format_of(path)}_format"))


def open_writer(
    path: str | os.PathLike[str],
    dtype: "np.dtype[Any]",
    metadata: dict[str, Any] | None = None,
    *,
    mcap_profile: str = "json",
    frame_id: str | None = None,
) -> Writer:
    """A writer of rows of ``dtype`` into ``path`` in the format of its
    suffix: ``write(rows)``, ``rows`` (the count so far), ``close()``.
    ``metadata`` (a dict, see ``metadata.describe``) is kept with the rows.
    ``mcap_profile`` "ros2" writes an .mcap as ROS 2 messages (see
    ``mcap_ros2``) with ``frame_id`` in their headers.
    TypeError, before any file is made, for a dtype without fields."""
    column_names(dtype)
    writer: type[Writer] = getattr(_module(path), WRITERS[format_of(path)])
    if mcap_profile != "json":
        ros2 = _ros2_writer(path, mcap_profile)
        try:
            return ros2(os.fspath(path), dtype, metadata, frame_id)
        except OSError as e:
            raise RecordingError(f"cannot write {os.fspath(path)}: {e.strerror or e}") from None
    try:
        if format_of(path) == "csv":
            _write_csv_sidecar(path, metadata)
            return writer(os.fspath(path), dtype)
        extra = {} if metadata is None else {"metadata": metadata}
        return writer(os.fspath(path), dtype, **extra)
    except OSError as e:
        raise RecordingError(f"cannot write {os.fspath(path)}: {e.strerror or e}") from None


def _ros2_writer(path: str | os.PathLike[str], profile: str) -> "type[McapRos2Writer]":
    """The writer of an MCAP profile other than the plain one; RecordingError
    for an unknown profile or a file that is no .mcap."""
    from .mcap_ros2 import PROFILE, PROFILES, McapRos2Writer

    if profile not in PROFILES:
        raise RecordingError(f"unknown MCAP profile {profile!r}: use " + ", ".join(PROFILES))
    if format_of(path) != "mcap" and profile == PROFILE:
        raise RecordingError(f"{os.fspath(path)}: the {profile} profile is for .mcap recordings")
    return McapRos2Writer


def _write_csv_sidecar(path: str | os.PathLike[str], meta: dict[str, Any] | None) -> None:
    """The CSV's metadata beside it; a sidecar left from an earlier file of
    that name goes, so that it never describes other rows."""
    sidecar = metadata.csv_sidecar(path)
    if meta is None:
        try:
            os.unlink(sidecar)
        except FileNotFoundError:
            pass
        return
    with open(sidecar, "w", encoding="utf-8") as f:
        f.write(metadata.encode(meta) + "\n")


def read_metadata(path: str | os.PathLike[str]) -> dict[str, Any]:
    """What the recording in ``path`` came from (a dict, see
    ``metadata.describe``); empty for a recording without it."""
    module = _module(path)
    path = os.fspath(path)
    try:
        if format_of(path) == "csv":
            try:
                with open(metadata.csv_sidecar(path), encoding="utf-8") as f:
                    return metadata.decode(f.read(), path)
            except FileNotFoundError:
                return {}
        return module.read_metadata(path)
    except (OSError, UnicodeDecodeError):
        return {}


def read(path: str | os.PathLike[str]) -> Rows:
    """The recording in ``path`` as one structured array, each column at the
    precision it was written with.  RecordingError naming the file and the
    problem for anything else (a table whose columns are not a recording's
    too), memory kept to a small multiple of the file's size whatever its
    contents claim."""
    module = _module(path)
    path = os.fspath(path)
    try:
        rows = module.read(path)
        check_columns(rows.dtype.names, path)
        return rows
    except RecordingError:
        raise
    except UnicodeDecodeError:
        raise RecordingError(f"{path} is not a text file") from None
    except OSError as e:
        raise RecordingError(f"cannot read {path}: {e.strerror or e}") from None
    except (ValueError, TypeError, KeyError, IndexError, OverflowError, RecursionError, MemoryError) as e:
        # what the checks of each format did not foresee: still one line
        raise RecordingError(
            f"{path} is not a {format_of(path)} recording: {type(e).__name__}: {str(e)[:200]}"
        ) from None


def convert(
    source: str | os.PathLike[str],
    target: str | os.PathLike[str],
    *,
    mcap_profile: str = "json",
    frame_id: str | None = None,
) -> int:
    """Reads ``source`` and writes its rows, and what it came from, to
    ``target`` (an .mcap with ``mcap_profile`` and ``frame_id``, see
    ``open_writer``); the row count."""
    if os.path.abspath(source) == os.path.abspath(target):
        raise RecordingError(f"{os.fspath(source)}: converting a recording into itself")
    format_of(target)  # an unknown suffix fails before anything is read
    if mcap_profile != "json":
        _ros2_writer(target, mcap_profile)
    rows = read(source)
    meta = read_metadata(source) or None
    with open_writer(target, rows.dtype, meta, mcap_profile=mcap_profile, frame_id=frame_id) as writer:
        writer.write(rows)
    return len(rows)
