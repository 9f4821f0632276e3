import pytest

from harness import PtyDevice, answer_ctrl_c, let_children_hang_up, simulators_keep_partial_frames
from vyre_client import VYREClient
from vyre_tools.mocklog import write_mock_log


LOCK_MODES = {"lock-kept": False, "lock-released": True}


def pytest_configure(config):
    answer_ctrl_c()
    let_children_hang_up()
    simulators_keep_partial_frames()
    # here rather than in pyproject.toml: the suite also runs from a copy (scripts/wheel-check)
    config.addinivalue_line(
        "markers",
        "lock_modes: the test waits, so it runs with waits keeping the interpreter lock and "
        "again with them releasing it",
    )


def pytest_generate_tests(metafunc):
    if metafunc.definition.get_closest_marker("lock_modes"):
        metafunc.parametrize("release_gil", list(LOCK_MODES.values()), ids=list(LOCK_MODES), indirect=True)


@pytest.fixture(autouse=True)
def release_gil(request):
    """What clients and mock handles made during the test start with: waits keep
    the interpreter lock (the default), and for tests marked `lock_modes`, in a
    second run, every client and mock handle releases it."""
    release = getattr(request, "param", False)
    previous = VYREClient.set_default_release_gil(release)
    yield release
    VYREClient.set_default_release_gil(previous)


@pytest.fixture
def mock():
    """A stopped client on a fresh mock device, and the device's handle."""
    client, device = VYREClient.new_mock()
    yield client, device
    client.stop()


@pytest.fixture
def started(mock):
    mock[0].start()
    return mock


@pytest.fixture
def pty_device():
    device = PtyDevice()
    yield device
    device.close()


@pytest.fixture
def client(pty_device):
    """A started client on the pseudo-terminal of `pty_device`."""
    client = VYREClient(pty_device.path)
    client.start()
    yield client
    client.stop()


@pytest.fixture
def long_log(tmp_path):
    """A mock log that takes 20 s at its own pace, to end while it runs."""
    path = tmp_path / "long.log"
    write_mock_log(path, 2000, 0.01)
    return str(path)
