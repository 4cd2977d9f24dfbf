"""Messages the handle sends, as bytes on the line."""

import struct

from fakedevice import floats


def info(tool_data_remaining, device_id, model, hardware, firmware):
    return bytes([0xD0, tool_data_remaining]) + struct.pack("<H", device_id) + bytes([model, hardware, firmware])


def status(device_id, quaternion, error_flag, hall_level, user_data=b""):
    return (bytes([0xDA]) + struct.pack("<HBB", device_id, error_flag, hall_level) + floats(*quaternion)
            + bytes([len(user_data)]) + bytes(user_data))


def error(device_id, error_code):
    return bytes([0xDF]) + struct.pack("<HB", device_id, error_code)
