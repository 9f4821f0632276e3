"""The stable links' former place: they live in :mod:`vyre_tools.stable_links`,
outside the simulator, since finding devices needs them without it."""

from ..stable_links import PREFIX, StableLink, default_dir, ensure_dir, live_links, unsafe_reason

__all__ = ["PREFIX", "StableLink", "default_dir", "ensure_dir", "live_links", "unsafe_reason"]
