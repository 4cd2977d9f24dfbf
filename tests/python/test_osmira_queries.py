import uuid

import pytest

import TavixHardwareAPI as api
from fakedevice import floats
from ticker import Ticker

IDENTITY = b"\x0b" + bytes([0x34, 0x12, 0x05, 0x02, 0x07]) + bytes(range(16))
RECEIVE_DEVICE_INFO_DOC = (
    "\n            Receive device info and return a tuple with the following fields: \n\n"
    "            device_id (uint16_t)\n            \n"
    "            device_model_num (uint8_t)\n            \n"
    "            hardware_version (uint8_t)\n            \n"
    "            firmware_version (uint8_t)\n            \n"
    "            device_id_ext (UUID)\n            "
)


def test_wakeup_forms(arm, device):
    device.send(IDENTITY)
    assert arm.device_wakeup() == (4660, 5, 2, 7, list(range(16)))
    assert device.received(1) == b"\x0a"

    device.send(IDENTITY)
    info = arm.device_wakeup_dict()
    assert list(info) == ["device_id", "device_model_number", "hardware_version", "firmware_version",
                          "device_id_ext"]
    assert info["device_id"] == 4660 and info["firmware_version"] == 7
    assert isinstance(info["device_id_ext"], uuid.UUID) and info["device_id_ext"].bytes == bytes(range(16))
    assert device.received(1) == b"\x0a"

    device.send(IDENTITY)
    with pytest.warns(DeprecationWarning, match="^SendDeviceWakeup is deprecated, use device_wakeup instead$"):
        arm.SendDeviceWakeup()
    *fields, ext = arm.ReceiveDeviceInfo()
    assert fields == [4660, 5, 2, 7]
    assert isinstance(ext, api.UUID) and ext.bytes() == list(range(16))
    assert device.received(1) == b"\x0a"


def test_missing_replies_give_zeros(arm, device):
    arm.set_read_timeout(0.05)
    assert arm.device_wakeup() == (0, 0, 0, 0, [0] * 16)
    assert arm.device_wakeup_dict()["device_id_ext"] == uuid.UUID(int=0)
    assert arm.get_device_id() == uuid.UUID(int=0)
    assert arm.get_temperature() == 0.0
    assert arm.get_motor_currents() == [0.0, 0.0, 0.0]
    assert arm.get_device_orientation() == [0.0, 0.0, 0.0, 0.0]
    assert arm.get_power_status() is False


@pytest.mark.parametrize("method, selector", [("get_device_id", 0xD1), ("get_firmware_version", 0xD2)])
def test_identifier_queries(arm, device, method, selector):
    query = getattr(arm, method)
    device.send(bytes([0x0D, selector, 16]) + bytes(range(0xF0, 0x100)))
    assert query() == uuid.UUID(bytes=bytes(range(0xF0, 0x100)))
    assert device.received(2) == bytes([0x0D, selector])

    device.send(bytes([0x0D, selector, 15]) + bytes(16))  # a length byte other than 16
    assert query() == uuid.UUID(int=0)

    other = 0xD1 + 0xD2 - selector  # the other identifier answers
    device.send(bytes([0x0D, other, 16]) + bytes(range(16)))
    assert query() == uuid.UUID(int=0)


@pytest.mark.parametrize("status, powered", [(0x00, False), (0x01, True), (0x02, False), (0x03, True)])
def test_power_status_is_bit_zero(arm, device, status, powered):
    device.send(bytes([0xAC, status]))
    assert arm.get_power_status() is powered
    assert device.received(1) == b"\xac"


def test_measurement_queries(arm, device):
    device.send(b"\xab" + floats(0.5, 1.5, 2.5))
    currents = arm.get_motor_currents()
    device.send(b"\xab" + floats(0.5, 1.5, 2.5))
    assert arm.get_motor_currents() == currents == [0.5, 1.5, 2.5]
    device.send(b"\x0c" + floats(0.0, 0.5, 0.25, 1.0))
    assert arm.get_device_orientation() == [0.0, 0.5, 0.25, 1.0]
    device.send(b"\xaa" + floats(36.5))
    assert arm.get_temperature() == 36.5
    assert device.received(4) == b"\xab\xab\x0c\xaa"


def test_split_current_request(arm, device):
    arm.RequestCurrent()
    assert device.received(1) == b"\xab"
    device.send(b"\xab" + floats(1.0, 2.0, 3.0))
    mine = [9.0, 9.0, 9.0, 9.0]
    assert arm.ReceiveCurrent(mine) == [1.0, 2.0, 3.0, 9.0]
    assert mine == [9.0] * 4
    assert arm.ReceiveCurrent(mine) == mine  # no reply: the copy comes back unchanged
    with pytest.raises(ValueError, match=r"^current: expected at least 3 values, got 2$"):
        arm.ReceiveCurrent([1.0, 2.0])


def test_deactivate_orientation_sensor_writes_nothing(arm, device):
    assert arm.deactivate_orientation_sensor() is None
    assert device.received(0, timeout=0.1) == b""


def test_lock_is_held_through_get_temperature_and_released_by_device_wakeup(arm):
    with Ticker() as ticker:
        _, ran = ticker.ran_inside(arm.get_temperature)
        assert not ran
        _, ran = ticker.ran_inside(arm.device_wakeup)
        assert ran


def test_signatures_and_docstrings():
    def text(method):
        return getattr(api.Osmira, method).__doc__

    assert text("get_motor_currents").startswith(
        "get_motor_currents(self: TavixHardwareAPI.Osmira) -> Annotated[list[float], FixedSize(3)]\n")
    assert text("get_device_orientation").startswith(
        "get_device_orientation(self: TavixHardwareAPI.Osmira) -> Annotated[list[float], FixedSize(4)]\n")
    assert text("get_device_id").startswith("get_device_id(self: TavixHardwareAPI.Osmira) -> object\n")
    assert "-> list[float]\n\nreceive current and return current" in text("ReceiveCurrent")
    assert text("deactivate_orientation_sensor").endswith("\n\nReceive the power status of the device.\n")
    assert len(RECEIVE_DEVICE_INFO_DOC) == 328
    assert text("ReceiveDeviceInfo") == (
        "ReceiveDeviceInfo(self: TavixHardwareAPI.Osmira) -> tuple\n\n" + RECEIVE_DEVICE_INFO_DOC + "\n")
