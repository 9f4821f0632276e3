"""What a ``stop=`` argument may be: something that tells a wait to end."""

from collections.abc import Callable

#: None, an object with ``is_set`` (a ``threading.Event``), a callable, or
#: anything whose truth tells (see ``stop_test``).
Stop = object


def stop_test(stop: Stop) -> Callable[[], bool]:
    """A function that tells whether ``stop`` asks to stop: None never does;
    an object with ``is_set`` (a ``threading.Event``) when it is set; a
    callable when it returns true; anything else by its truth, read each
    time (an object whose ``__bool__`` changes)."""
    if stop is None:
        return lambda: False
    is_set = getattr(stop, "is_set", None)
    if callable(is_set):
        return lambda: bool(is_set())
    if callable(stop):
        return lambda: bool(stop())
    return lambda: bool(stop)
