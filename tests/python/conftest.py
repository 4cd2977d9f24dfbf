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

import children  # noqa: E402
from fakedevice import FakeDevice  # noqa: E402


@pytest.fixture(scope="session", autouse=True)
def orphans_come_to_this_process():
    children.adopt_orphans()


@pytest.fixture(autouse=True)
def no_child_process_outlives_its_test():
    """Every process a test started, and every orphan it left, is killed and reaped when the
    test ends; one still running then is a leak (the test failed, or forgot to end it)."""
    before = children.children()
    yield
    left = children.end_children_since(before)
    assert not left, f"processes {left} were still running when the test ended"


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
