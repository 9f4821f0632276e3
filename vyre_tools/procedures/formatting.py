"""Numbers as people read them, the same on the terminal and in the browser.

One rule for values that are not plain numbers: ``None`` (no value yet) is
"-", a NaN the device sent is "NaN", infinities are "inf" and "-inf"."""

import math
from collections.abc import Sequence

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
