"""What a replay of a mock log will send: the records' count and timing.

The library streams the log without telling how far it has got, so the
progress of a replay is read off the log's own clock.  This scanner cuts
records as the device's mock mode receives them: after the 286-byte header
block, a type letter, a u32 timestamp in ticks of a 168 MHz clock and the
type's data bytes; zero bytes between records are padding, the 21st zero in
a row ends the log, and any other byte at a record boundary is skipped.
"""

import os
from dataclasses import dataclass, field
from itertools import accumulate

HEADER_SIZE = 286
TICKS_PER_SECOND = 168_000_000
DATA_SIZES = {0x41: 6, 0x42: 6, 0x4D: 7, 0x49: 15}  # A, B, M, I
END_ZEROS = 21


@dataclass
class LogSummary:
    records: int
    delays: list[float] = field(repr=False)  # logged seconds since the previous record
    ended_by_marker: bool = False

    @property
    def log_seconds(self) -> float:
        return sum(self.delays)

    def times(self) -> list[float]:
        """Each record's time on the log's clock, the first at 0."""
        return list(accumulate(self.delays))


def scan(data: bytes) -> LogSummary:
    """Summary of the mock log held in ``data``; ValueError when it is too
    short to be one."""
    if len(data) < HEADER_SIZE:
        raise ValueError(f"shorter than the {HEADER_SIZE}-byte header block of a mock log")
    delays: list[float] = []
    last = None
    zeros = 0
    p, n = HEADER_SIZE, len(data)
    while p < n:
        b = data[p]
        if b == 0:
            zeros += 1
            if zeros >= END_ZEROS:
                return LogSummary(len(delays), delays, True)
            p += 1
            continue
        zeros = 0
        size = DATA_SIZES.get(b)
        if size is None:
            p += 1
            continue
        if p + 5 + size > n:
            break  # a record cut short by the end of the file is never sent
        ts = int.from_bytes(data[p + 1 : p + 5], "little")
        delays.append(0.0 if last is None else ((ts - last) % (1 << 32)) / TICKS_PER_SECOND)
        last = ts
        p += 5 + size
    return LogSummary(len(delays), delays, False)


def scan_file(path: str | os.PathLike[str]) -> LogSummary:
    with open(path, "rb") as f:
        return scan(f.read())
