"""What a ``stop=`` argument may be: something that tells a wait to end."""


def stop_test(stop):
    """A function that tells whether ``stop`` asks to stop: None never does;
    an object with ``is_set`` (a ``threading.Event``) when it is set; a
    callable when it returns true; anything else by its truth, read each
    time (an object whose ``__bool__`` changes)."""
    if stop is None:
        return lambda: False
    if callable(getattr(stop, "is_set", None)):
        return stop.is_set
    if callable(stop):
        return lambda: bool(stop())
    return lambda: bool(stop)
