"""The VYRE client for asyncio programs: ``AsyncVYREClient`` (see client.py)."""

from .client import AsyncMockDeviceHandle, AsyncVYREClient
from .worker import Abandoned

__all__ = ["AsyncVYREClient", "AsyncMockDeviceHandle", "Abandoned"]
