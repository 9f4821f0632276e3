"""Numbers as the pages show them."""

import math
from collections.abc import Sequence


def num(value: float | None, decimals: int = 2) -> str:
    if value is None or math.isnan(value):
        return "-"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.{decimals}f}"


def vec(values: Sequence[float], decimals: int = 3) -> str:
    return "(" + ", ".join(num(v, decimals) for v in values) + ")"


def matrix(values: Sequence[float], decimals: int = 4) -> str:
    return " / ".join(vec(values[row:row + 3], decimals) for row in (0, 3, 6))


def device_id(value: int) -> str:
    return f"0x{value:016X}"
