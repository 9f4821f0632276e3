import os
import sys

import pytest

from vyre_tools.sim import Simulator

# the reference framer of the module's tests builds and checks the host side's frames
REFERENCE = os.path.join(
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "vyre_python", "tests"
)
if REFERENCE not in sys.path:
    sys.path.append(REFERENCE)  # after the test folders, whose own modules come first

from harness import answer_ctrl_c, let_children_hang_up, simulators_keep_partial_frames  # noqa: E402
from .hostside import Host  # noqa: E402  (needs the reference on the path)


def pytest_configure(config):
    answer_ctrl_c()
    let_children_hang_up()
    simulators_keep_partial_frames()


@pytest.fixture
def sim(request):
    with Simulator(**getattr(request, "param", {})) as s:
        yield s


@pytest.fixture
def host(sim):
    h = Host(sim.port_name)
    # start from a clean link: nothing stale in the pty, counters at zero
    sim.reset_counters(discard_output=True)
    yield h
    h.close()


@pytest.fixture
def start_client():
    """Starts clients on ports; each is closed after the test, pass or fail
    (a failed test's traceback keeps its client alive, and with it the port).
    The module is imported here so that suites without a client still run."""
    import vyre_client

    started = []

    def start(port):
        started.append(vyre_client.VYREClient(port))
        started[-1].start()
        return started[-1]

    yield start
    for client in started:
        client.close()
