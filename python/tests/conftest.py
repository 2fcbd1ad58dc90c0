import pytest

# The examples' runner asserts that a run succeeded: its failures are explained as the
# tests' own are.
pytest.register_assert_rewrite("example_runs")

import TavixHardwareAPI  # noqa: E402
# From testing/python, which pyproject.toml's [tool.pytest.ini_options] puts on the path.
from pty_device import PtyDevice  # noqa: E402


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
