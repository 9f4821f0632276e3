import pytest

from harness import PtyDevice
from vyre_client import VYREClient
from vyre_tools.mocklog import write_mock_log


@pytest.fixture(autouse=True, params=[False, True], ids=["lock-kept", "lock-released"])
def release_gil(request):
    """Every test runs twice: with waits keeping the interpreter lock (the
    default) and with every client and mock handle made releasing it."""
    previous = VYREClient.set_default_release_gil(request.param)
    yield request.param
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
