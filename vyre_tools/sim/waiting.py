"""Polling a simulator's status until a condition holds."""

import time


class StatusWaiter:
    """``wait_status`` for anything with a ``status()``."""

    def wait_status(self, predicate, timeout=10.0, interval=0.02):
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
