"""A simulated VYRE device on a pseudo-terminal.

``Simulator(**options)`` runs the device in this process on its own thread;
``Simulator.spawn(**options)`` runs it in a child process of its own session
(needed whenever the client lives in the same process and its waiting calls
hold the interpreter lock, as they do unless its ``release_gil`` is set).  ``python -m vyre_tools.sim`` prints the port path and runs until
interrupted.
"""

from .device import Simulator
from .errors import SimulatorError
from .motion import altitude_at, pressure_at
from .options import OPTIONS
from .process import SimulatorProcess

__all__ = ["Simulator", "SimulatorError", "SimulatorProcess", "OPTIONS", "altitude_at", "pressure_at"]
