import sys
from pathlib import Path

import pytest

# The examples' simulator launcher (examples/simulator.py) starts tavix-sim for the tests.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))

import TavixHardwareAPI
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
