"""CDR (little-endian, as ROS 2 writes it) for messages of a fixed layout,
many at once.

The messages the bridges write hold numbers, fixed arrays of numbers and a
frame id that stays the same for a whole recording, so every message of a
type has the same bytes at the same places: one NumPy structured dtype
with CDR's alignment (each number at a multiple of its size, counted from
the end of the 4-byte encapsulation header) packs a whole batch in one
go, at a small fraction of what encoding message by message costs."""

import struct
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy as np

ENCAPSULATION = b"\x00\x01\x00\x00"  # CDR, little-endian, no options
_NUMBERS = {"int32": "<i4", "uint32": "<u4", "float32": "<f4", "float64": "<f8"}


@dataclass(frozen=True)
class Field:
    """One field of a message: a number (``kind`` int32, uint32, float32,
    float64; ``count`` > 1 for a fixed array) or, with ``kind`` "string", a
    text that is ``text`` in every message."""

    name: str
    kind: str
    count: int = 1
    text: str = ""


class Layout:
    """The bytes of the messages of one type: ``pack`` a batch of them,
    ``unpack`` one back."""

    def __init__(self, fields: Sequence[Field]) -> None:
        import numpy as np

        names, formats, offsets = ["_encapsulation"], ["V4"], [0]
        self._constants: dict[str, bytes] = {"_encapsulation": ENCAPSULATION}
        at = 0  # counted after the encapsulation header
        for f in fields:
            if f.kind == "string":
                data = f.text.encode() + b"\0"
                at = -(-at // 4) * 4
                names.append(f.name)
                formats.append(f"V{4 + len(data)}")
                self._constants[f.name] = struct.pack("<I", len(data)) + data
                offsets.append(4 + at)
                at += 4 + len(data)
                continue
            number = np.dtype(_NUMBERS[f.kind])
            at = -(-at // number.itemsize) * number.itemsize
            names.append(f.name)
            formats.append(f"({f.count},){number.str}" if f.count > 1 else number.str)
            offsets.append(4 + at)
            at += number.itemsize * f.count
        self.dtype: np.dtype[Any] = np.dtype(
            {"names": names, "formats": formats, "offsets": offsets, "itemsize": 4 + at}
        )
        self._template = np.zeros(1, self.dtype)  # a message with its constants and zeros
        for name, data in self._constants.items():
            self._template[name] = np.void(data)

    def pack(self, n: int, values: "dict[str, Any]") -> list[bytes]:
        """``n`` messages, each field from ``values`` (an array of ``n``, or
        one value for all; a field not given is 0)."""
        import numpy as np

        out = np.repeat(self._template, n)
        for name, value in values.items():
            out[name] = value
        raw, size = out.tobytes(), self.dtype.itemsize
        return [raw[i : i + size] for i in range(0, len(raw), size)]

    def unpack(self, messages: Sequence[bytes]) -> "np.ndarray[Any, np.dtype[Any]] | None":
        """The messages as one structured array; None unless each is one of
        this layout (same size, header and constant texts)."""
        import numpy as np

        size = self.dtype.itemsize
        if any(len(m) != size for m in messages):
            return None
        rows = np.frombuffer(b"".join(messages), self.dtype)
        for name, data in self._constants.items():
            if len(rows) and not (rows[name] == np.void(data)).all():
                return None
        return rows
