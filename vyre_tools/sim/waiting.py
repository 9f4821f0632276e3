"""Polling a simulator's status until a condition holds."""

import time
from collections.abc import Callable
from typing import Any


class StatusWaiter:
    """``wait_status`` for anything with a ``status()``."""

    def status(self) -> dict[str, Any]:
        raise NotImplementedError

    def wait_status(
        self, predicate: Callable[[dict[str, Any]], object], timeout: float = 10.0, interval: float = 0.02
    ) -> dict[str, Any]:
        """Poll ``status()`` until ``predicate(status)`` holds; return that
        status, or raise TimeoutError with the last one."""
        deadline = time.monotonic() + timeout
        while True:
            s = self.status()
            if predicate(s):
                return s
            if time.monotonic() >= deadline:
                raise TimeoutError(f"simulator status did not reach the condition: {s}")
            time.sleep(interval)
