"""The link's health as the bridges publish it, one record per device."""

import json
from dataclasses import asdict, dataclass, field

# what a device's feed is doing
CONNECTING = "connecting"  # looking for the device, or asking its identity
STREAMING = "streaming"
WAITING = "waiting"  # the device went away: waiting for it to come back
STOPPED = "stopped"

# the link counters worth a look beside the packet counts
LINK_COUNTERS = ("crc_rejected", "length_rejected", "given_up", "short_frames", "noise_bytes")


@dataclass
class Health:
    """One device's feed: its state and what it counted so far."""

    state: str = CONNECTING
    port: str = ""
    device_id: str = ""  # 0x... once the device answered
    packets: int = 0
    gaps: int = 0
    missing: int = 0  # packets the gaps lack, by the device's timestamps
    reconnects: int = 0
    synced: bool = False  # whether the clock model holds (sample times are synced times)
    event: str = ""  # the latest thing that happened, for people
    link: dict[str, int] = field(default_factory=dict)

    def json(self) -> str:
        return json.dumps(asdict(self), separators=(",", ":"))

    def text(self) -> str:
        """One line for people."""
        where = f"{self.device_id} on {self.port}" if self.device_id else self.port
        line = f"{where}: {self.state}, {self.packets} packets, {self.gaps} gaps ({self.missing} missing)"
        return line + (f"; {self.event}" if self.event else "")
