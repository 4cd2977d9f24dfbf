import os
import sys

import pytest

# The built module: TAVIX_MODULE_DIR when given (make test sets it), else the default build tree.
_here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.environ.get("TAVIX_MODULE_DIR", os.path.join(_here, "..", "..", "build", "bindings")))
sys.path.insert(0, _here)

from fakedevice import FakeDevice  # noqa: E402


@pytest.fixture
def device():
    fake = FakeDevice()
    yield fake
    fake.close()
