"""A live capture for noise figures: the batches of ``get_data_array()``,
kept as the few columns the figures need (about a tenth of the packets'
size), and handed to ``noise.characterise``::

    capture = NoiseCapture()
    while capture.seconds < 600:
        capture.add(client.get_data_array(block=True))
    report = capture.report("600 s from /dev/ttyACM0", device_id="0x5659524500010042")
"""

from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from .noise import COLUMNS, TIME, NoiseDataError, NoiseReport, characterise

if TYPE_CHECKING:
    import numpy as np

    from .noise import Column


class NoiseCapture:
    """The needed columns of the batches added so far."""

    def __init__(self) -> None:
        self._parts: dict[str, list[np.ndarray[Any, Any]]] = {name: [] for name in COLUMNS}
        self.samples = 0
        self._first: float | None = None
        self._last: float | None = None

    def add(self, batch: "np.ndarray[Any, Any]") -> None:
        """A structured array as ``get_data_array()`` returns it."""
        if not len(batch):
            return
        for name, parts in self._parts.items():
            parts.append(batch[name].copy())
        self.samples += len(batch)
        if self._first is None:
            self._first = float(batch[TIME][0])
        self._last = float(batch[TIME][-1])

    @property
    def seconds(self) -> float:
        """Device time from the first sample to the latest."""
        if self._first is None or self._last is None:
            return 0.0
        return max(self._last - self._first, 0.0)

    def columns(self, names: Sequence[str]) -> Mapping[str, "Column"]:
        import numpy as np

        return {name: np.concatenate(self._parts[name]) for name in names}

    def report(
        self,
        source: str,
        device_id: str | None = None,
        still_check: bool = True,
        progress: Callable[[str], None] | None = None,
    ) -> NoiseReport:
        """The figures of what was captured (see ``noise.characterise``)."""
        if not self.samples:
            raise NoiseDataError("no telemetry arrived")
        return characterise(self.columns, source, device_id, still_check, progress)
