import pytest

from harness import PtyDevice
from vyre_client import VYREClient


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
