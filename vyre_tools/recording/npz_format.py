"""NPZ: NumPy's zip of arrays, one per column, for ``numpy.load``.

A zip is written whole, so the rows go to an unnamed scratch file beside
the recording as they come and are laid out column by column at the end."""

import os
import tempfile
import zipfile

from .layout import RecordingError, structured
from .metadata import NPZ_ENTRY, decode, encode
from .writer import Writer


class NpzWriter(Writer):
    def __init__(self, path, dtype, metadata=None):
        super().__init__(path, dtype)
        self._metadata = metadata
        # the recording's own file is claimed now: a path that cannot be
        # written fails before the stream starts
        self._file = open(path, "wb")
        try:
            self._rows = tempfile.TemporaryFile(dir=os.path.dirname(os.path.abspath(path)))
        except BaseException:
            self._file.close()
            raise

    def _write_batch(self, batch):
        self._rows.write(batch.tobytes())

    def _close(self):
        import numpy as np
        try:
            self._rows.flush()
            if self.rows:
                rows = np.memmap(self._rows, dtype=self.dtype, mode="r", shape=(self.rows,))
            else:
                rows = np.empty(0, self.dtype)
            entries = {name: rows[name] for name in self.dtype.names}
            if self._metadata is not None:
                entries[NPZ_ENTRY] = np.array(encode(self._metadata))
            np.savez(self._file, **entries)
            del rows
        finally:
            self._rows.close()
            self._file.close()


def read(path):
    import numpy as np
    try:
        archive = np.load(path, allow_pickle=False)
        if not isinstance(archive, np.lib.npyio.NpzFile):
            raise RecordingError(f"{path} is a single array, not an NPZ archive of columns")
        with archive:
            return structured({name: archive[name] for name in archive.files
                               if name != NPZ_ENTRY}, path)
    except (ValueError, EOFError, zipfile.BadZipFile) as e:
        raise RecordingError(f"{path} is not an NPZ archive of columns: {e}") from None


def read_metadata(path):
    import numpy as np
    try:
        with np.load(path, allow_pickle=False) as archive:
            if NPZ_ENTRY not in archive.files:
                return {}
            return decode(str(archive[NPZ_ENTRY][()]), path)
    except (ValueError, EOFError, AttributeError, TypeError, zipfile.BadZipFile):
        return {}
