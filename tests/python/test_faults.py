"""A pulled cable, seen through the Python classes.

The fake device's master side is closed in the middle of a reply: each call must come back
within its bound with its documented fallback, raise nothing but the documented exceptions,
and leave the library able to talk to a fresh device on a new SerialStream.
"""

import time

import pytest

import TavixHardwareAPI as api
from fakedevice import FakeDevice

EXAMPLE_FRAME = bytes.fromhex("DA 00 00 00 45 07 00 00 00 00 40 00 20 00 E0 FF 7F C8 AC C0")
NO_STATUS = {"device_id": 0, "quaternion": [0.0] * 4, "error_flag": 99,
             "hall_effect_sensor_level": 0, "buttons": 0, "battery_level": 0.0}
WRITE_FAILED = "[err] Library/src/SerialStream:53> unable to write '1' bytes to stream: ["


@pytest.fixture
def fresh():
    fake = FakeDevice()
    yield fake
    fake.close()


def timed(call):
    start = time.monotonic()
    result = call()
    return result, time.monotonic() - start


def expect_fresh_handle_works(fresh):
    handle = api.Handle(api.SerialStream(fresh.path))
    handle.SendDeviceWakeup()
    assert fresh.received(1) == b"\x0a"
    fresh.send(EXAMPLE_FRAME)
    assert handle.GetHoldraStatus()["device_id"] == 7


def test_cable_pulled_mid_status_frame(device, fresh, capfd):
    handle = api.Handle(api.SerialStream(device.path))
    device.send(EXAMPLE_FRAME[:12])  # never the 19 bytes a frame needs
    device.hang_up_after(0.3)  # while the snapshot waits

    status, seconds = timed(handle.GetHoldraStatus)
    assert status == NO_STATUS
    assert 1.0 < seconds < 3.0  # the snapshot's own wait: more than one, at most two seconds

    handle.SendDeviceWakeup()  # a command on the dead line: an error line, no exception
    assert capfd.readouterr().err.startswith(WRITE_FAILED)

    expect_fresh_handle_works(fresh)
