"""Numbers as people read them, the same on the terminal and in the browser.

One rule for values that are not plain numbers: ``None`` (no value yet) is
"-", a NaN the device sent is "NaN", infinities are "inf" and "-inf"."""

import math
from collections.abc import Mapping, Sequence

NO_VALUE = "-"


def num(value: float | None, decimals: int = 2) -> str:
    """``value`` with ``decimals`` digits after the point."""
    if value is None:
        return NO_VALUE
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.{decimals}f}"


def vec(values: Sequence[float | None], decimals: int = 2) -> str:
    """``(x, y, z)``, each as :func:`num` writes it."""
    return "(" + ", ".join(num(v, decimals) for v in values) + ")"


def matrix(values: Sequence[float | None], decimals: int = 4) -> str:
    """A row-major 3 x 3 matrix on one line: ``(row 1) / (row 2) / (row 3)``."""
    return " / ".join(vec(values[row : row + 3], decimals) for row in (0, 3, 6))


def device_id(value: int) -> str:
    """A device's id as ``vyre info`` and device identities (``id=``) write it."""
    return f"0x{value:016X}"


def drift(sync: Mapping[str, bool | float | int]) -> str:
    """The device clock's drift from ``clock_sync()``, with its standard
    error, which is hundreds of ppm right after the sync: ``+12.3 ppm (±
    4.5)``."""
    value = f"{float(sync['drift_ppm']):+.1f} ppm"
    error = float(sync.get("drift_uncertainty_ppm", math.nan))
    return value if math.isnan(error) else f"{value} (± {error:.1f})"
