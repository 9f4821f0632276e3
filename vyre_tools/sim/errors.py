"""The error the simulator raises, in a module of its own so that the device
and the process that runs one in a child can both raise it without importing
each other."""


class SimulatorError(RuntimeError):
    """A simulator could not start, answer a request, or went away."""
