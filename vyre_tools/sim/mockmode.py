"""What the device does with mock-log frames: in mock mode it checks each
one's layout, counts the header block and the records by type letter, keeps
each record's log timestamp and arrival time, and hashes everything it
accepted in order so a test can compare with the log it replayed."""

import collections
import hashlib
from typing import Any

HEADER_FRAME_ID = 0x48
HEADER_BLOCK = 286
RECORD_PAYLOAD = {"A": 10, "B": 10, "M": 11, "I": 19}  # u32 timestamp + data


class MockRecorder:
    def __init__(self, max_records: int) -> None:
        self.max_records = max_records
        self.active = False
        self.reset_counters()

    def reset_counters(self) -> None:
        self.sessions = 0
        self.header_frames = 0
        self.bad_length = 0
        self.unknown = 0
        self.outside = 0
        self.by_type: collections.Counter[str] = collections.Counter()
        self.records: list[tuple[str, int, float]] = []  # (letter, log timestamp, arrival)
        self.digest = hashlib.sha256()
        self.first: float | None = None
        self.last: float | None = None

    def enter(self) -> None:
        if not self.active:
            self.sessions += 1
        self.active = True

    def leave(self) -> None:
        self.active = False

    def stats(self) -> dict[str, Any]:
        return {
            "mock_mode": self.active,
            "mock_sessions": self.sessions,
            "mock_header_frames": self.header_frames,
            "mock_records": sum(self.by_type.values()),
            "mock_records_by_type": {k: self.by_type[k] for k in "ABMI"},
            "mock_bad_length": self.bad_length,
            "mock_unknown": self.unknown,
            "mock_outside": self.outside,
            "mock_digest": self.digest.hexdigest(),
            "mock_first_arrival": self.first,
            "mock_last_arrival": self.last,
        }

    def frame(self, ident: int, payload: bytes, now: float) -> None:
        if not self.active:
            self.outside += 1
            return
        if ident == HEADER_FRAME_ID:
            if len(payload) != HEADER_BLOCK:
                self.bad_length += 1
                return
            self.header_frames += 1
        else:
            letter = chr(ident) if ident < 128 else "?"
            want = RECORD_PAYLOAD.get(letter)
            if want is None:
                self.unknown += 1
                return
            if len(payload) != want:
                self.bad_length += 1
                return
            self.by_type[letter] += 1
            if len(self.records) < self.max_records:
                self.records.append((letter, int.from_bytes(payload[:4], "little"), now))
        if self.first is None:
            self.first = now
        self.last = now
        self.digest.update(ident.to_bytes(2, "little") + payload)
