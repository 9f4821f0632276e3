"""Link health: the packet rate against the configured frequency, CRC
failures, gaps, round trips, the link statistics and the clock sync; and
the banner every tab shows while the device is away and when it is back."""

import math
import statistics
import time
from typing import Any

from nicegui import ui

from .cards import card, fields
from ..procedures.formatting import drift
from .format import num
from .session import DeviceSession

REFRESH_SECONDS = 0.5
BACK_SHOWN_SECONDS = 10.0


def build_banner(session: DeviceSession, named: bool = False) -> None:
    """``named``: say which device (when the page shows several)."""
    which = f"The device on {session.label}" if named else "The device"
    away = ui.label().classes("w-full p-3 bg-red-700 text-white text-lg").props("data-testid=banner-away")
    back = ui.label().classes("w-full p-3 bg-green-700 text-white").props("data-testid=banner-back")
    since: dict[str, Any] = {"text": None, "at": 0.0}

    def refresh() -> None:
        away.set_visibility(not session.connected)
        if not session.connected:
            away.text = f"{which} is unplugged ({session.lost_reason}): waiting for it to come back"
        if session.back_text != since["text"]:
            since["text"], since["at"] = session.back_text, time.monotonic()
        recent = time.monotonic() - since["at"] < BACK_SHOWN_SECONDS
        back.set_visibility(bool(session.connected and session.back_text and recent))
        back.text = f"Reconnected: {which} is back {session.back_text}" if session.back_text else ""

    refresh()
    ui.timer(0.25, refresh)


def rate_text(rate: float, frequency: int | None) -> str:
    """The packet rate against the configured frequency (None: not read)."""
    configured = (
        ""
        if frequency is None
        else " (configured 0 /s: paused)"
        if frequency == 0
        else f" (configured {frequency} /s)"
    )
    return f"{rate:.0f} /s{configured}"


def gaps_text(gaps: int, missing: int, period: float) -> str:
    """The gaps and the period they are judged by: none while the device
    is paused (an infinite period) or before it is known (NaN)."""
    judged = f", one every {1000 * period:.2f} ms" if 0 < period < math.inf else ""
    return f"{gaps} ({missing} packets missing{judged})"


def build(session: DeviceSession) -> None:
    with card("Link"):
        rate, crc, gaps, trips, unplugs, clock = fields(
            [
                "packet rate",
                "CRC failures",
                "gaps in the timestamps",
                "round trip of a command",
                "unplugs",
                "clock sync",
            ],
            {"packet rate": "link-rate"},
        )
    with card("Link statistics"):
        table = ui.table(
            columns=[
                {"name": "key", "label": "count", "field": "key", "align": "left"},
                {"name": "value", "label": "", "field": "value"},
            ],
            rows=[],
            row_key="key",
        ).props("dense flat")

    def refresh() -> None:
        h = session.health
        rate.text = rate_text(h.rate, session.config.frequency if session.config else None)
        s = h.statistics
        crc.text = (
            f"{s.get('crc_rejected', 0)} ({s.get('given_up', 0)} cut short, "
            f"{s.get('noise_bytes', 0)} noise bytes)"
        )
        gaps.text = gaps_text(h.gaps, h.missing, h.period)
        if h.round_trips:
            ms = [1000 * t for t in h.round_trips]
            trips.text = (
                f"last {ms[-1]:.1f} ms, median {statistics.median(ms):.1f} ms, largest {max(ms):.1f} ms"
            )
        else:
            trips.text = "-"
        unplugs.text = str(h.unplugs)
        c = h.clock
        if not c:
            clock.text = "-"
        elif c.get("synced"):
            clock.text = (
                f"synced: drift {drift(c)}, jitter "
                f"{num(1000 * float(c['jitter_seconds']), 3)} ms, "
                f"{c['resets']} resets"
            )
        else:
            clock.text = f"not synced yet ({c.get('pairs', 0)} pairs)"
        table.rows = [{"key": k, "value": v} for k, v in s.items()]

    ui.timer(REFRESH_SECONDS, refresh)
