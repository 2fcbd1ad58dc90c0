import pytest

import TavixHardwareAPI
# From testing/python, which pyproject.toml's [tool.pytest.ini_options] puts on the path.
from pty_device import PtyDevice


@pytest.fixture
def device():
    """A scripted device behind a pseudo-terminal."""
    pty_device = PtyDevice()
    yield pty_device
    pty_device.close()


@pytest.fixture
def stream(device):
    """A SerialStream open on the scripted device's port."""
    return TavixHardwareAPI.SerialStream(device.path)
