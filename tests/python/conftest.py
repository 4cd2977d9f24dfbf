import os
import sys

import pytest

# The checkout's tavix_tools and the built module: TAVIX_MODULE_DIR when given (make test sets
# it), else the default build tree. Tests that start Python programs hand sys.path on.
_here = os.path.dirname(os.path.abspath(__file__))
_checkout = os.path.normpath(os.path.join(_here, "..", ".."))
sys.path.insert(0, os.environ.get("TAVIX_MODULE_DIR", os.path.join(_checkout, "build", "bindings")))
sys.path.insert(0, os.path.join(_checkout, "python"))
sys.path.insert(0, _here)

from fakedevice import FakeDevice  # noqa: E402


@pytest.fixture
def device():
    fake = FakeDevice()
    yield fake
    fake.close()


@pytest.fixture
def arm(device):
    """An Osmira on the fake device with a short read timeout (the arm keeps its stream alive)."""
    import TavixHardwareAPI

    return TavixHardwareAPI.Osmira(TavixHardwareAPI.SerialStream(device.path), 0.2)
