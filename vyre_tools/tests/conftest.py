import pytest

from vyre_tools.sim import Simulator

from .hostside import Host


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
