import math
import struct
import threading
import time

import pytest

import TavixHardwareAPI as api

EXAMPLE_FRAME = bytes.fromhex("DA 00 00 00 45 07 00 00 00 00 40 00 20 00 E0 FF 7F C8 AC C0")
EXAMPLE = {"device_id": 7, "quaternion": [0.5, -0.25, 0.25, 0.999969482421875], "error_flag": 0,
           "hall_effect_sensor_level": 5, "buttons": 2, "battery_level": 4.0}


def frame(error_flag=0, level_and_buttons=0, device_id=0, raw=(0, 0, 0, 0), battery=0):
    payload = bytes([0, 0, error_flag, level_and_buttons, device_id, 0, 0, 0]) + struct.pack("<4H", *raw) + bytes([battery])
    body = payload + bytes([(0xDA + sum(payload)) % 256])
    escaped = body.replace(b"\xdb", b"\xdb\xdd").replace(b"\xc0", b"\xdb\xdc")
    return b"\xda" + escaped + b"\xc0"


def failure(code):
    return {"device_id": 0, "quaternion": [0.0] * 4, "error_flag": code,
            "hall_effect_sensor_level": 0, "buttons": 0, "battery_level": 0.0}


@pytest.fixture
def handle(device):
    stream = api.SerialStream(device.path)
    yield api.Handle(stream)


def test_example_frame_gives_the_example_dict(device, handle):
    assert frame(0, 0x45, 7, (0x4000, 0x2000, 0xE000, 0x7FFF), 200) == EXAMPLE_FRAME
    device.send(EXAMPLE_FRAME)
    result = handle.GetHoldraStatus()
    assert list(result.items()) == list(EXAMPLE.items())  # keys in this order, values exact
    assert [type(v) for v in result.values()] == [int, list, int, int, int, float]


def test_escaped_bytes_signs_and_the_top_battery_level(device, handle):
    device.send(frame(error_flag=0xDB, device_id=0xC0, raw=(0x8000, 0, 0, 0x7FFF), battery=255))
    result = handle.GetHoldraStatus()
    assert result["device_id"] == 192 and result["error_flag"] == 0xDB
    c0, c1, c2, c3 = result["quaternion"]
    assert c0 == -1.0 and c3 == 0.999969482421875
    assert c1 == c2 == 0.0 and math.copysign(1, c1) == math.copysign(1, c2) == -1  # -0.0
    assert result["battery_level"] == 4.275000095367432


def test_silence_gives_99_after_more_than_one_and_at_most_two_seconds(handle):
    start = time.monotonic()
    assert handle.GetHoldraStatus() == failure(99)
    assert 1.0 < time.monotonic() - start < 3.0  # two seconds at most, with room for a busy machine


def test_other_threads_run_during_the_wait(device, handle):
    # The frame is sent by Python code that runs only if the wait lets it.
    sender = threading.Timer(0.2, device.send, [EXAMPLE_FRAME])
    sender.start()
    result = handle.GetHoldraStatus()
    sender.join()
    assert result == EXAMPLE
