"""A pulled cable, seen through the Python classes.

The fake device's master side is closed in the middle of a reply: each call must come back
within its bound with its documented fallback, raise nothing but the documented exceptions,
and leave the library able to talk to a fresh device on a new SerialStream.
"""

import time

import pytest

import TavixHardwareAPI as api
from fakedevice import FakeDevice, floats

EXAMPLE_FRAME = bytes.fromhex("DA 00 00 00 45 07 00 00 00 00 40 00 20 00 E0 FF 7F C8 AC C0")
NO_STATUS = {"device_id": 0, "quaternion": [0.0] * 4, "error_flag": 99,
             "hall_effect_sensor_level": 0, "buttons": 0, "battery_level": 0.0}
WRITE_FAILED = "[err] Library/src/SerialStream:53> unable to write '1' bytes to stream: ["
TIMEOUT = 0.2
ZERO_STATE = ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])


@pytest.fixture
def fresh():
    fake = FakeDevice()
    yield fake
    fake.close()


def timed(call):
    start = time.monotonic()
    result = call()
    return result, time.monotonic() - start


def error_lines(capfd):
    lines = capfd.readouterr().err.splitlines()
    assert all(line.startswith("[err] Library/src/") for line in lines), lines
    return lines


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


def expect_fresh_arm_works(fresh):
    arm = api.Osmira(api.SerialStream(fresh.path), TIMEOUT)
    fresh.send(bytes([0x2B]) + floats(1.0, 2.0, 3.0, 4.0, 5.0, 6.0))
    assert arm.end_effector_force([0.5, 0.0, 0.0]) == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
    assert fresh.received(13) == bytes([0x2A]) + floats(0.5, 0.0, 0.0)


def test_cable_pulled_mid_arm_reply(device, fresh, capfd):
    arm = api.Osmira(api.SerialStream(device.path), TIMEOUT)
    device.send(bytes([0x2B]) + floats(1.0, 2.0))  # 8 of the 24 payload bytes
    device.hang_up_after(0.05)

    state, seconds = timed(lambda: arm.end_effector_force([0.0, 0.0, 1.0]))
    assert state == ZERO_STATE
    assert seconds < TIMEOUT * 1.5 + 0.3  # one payload wait
    assert any("timeout waiting for" in line for line in error_lines(capfd))

    # Everything else on the dead line falls back quietly: zeros, an unchanged list, a nil id.
    assert arm.get_temperature() == 0.0
    assert arm.device_wakeup() == (0, 0, 0, 0, [0] * 16)
    assert arm.get_device_id().int == 0
    assert arm.ReceiveCurrent([9.0, 9.0, 9.0]) == [9.0, 9.0, 9.0]
    assert arm.read_raw(4, 0.05) == b""
    error_lines(capfd)
    with pytest.raises(RuntimeError, match="^send_raw: underlying stream write failed$"):
        arm.send_raw(b"\x0a")  # the one documented exception

    expect_fresh_arm_works(fresh)
