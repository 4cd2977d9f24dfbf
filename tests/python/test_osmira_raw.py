import gc
import os
import time
import weakref

import pytest

import TavixHardwareAPI as api
from fakedevice import floats

STATE = b"\x2b" + floats(1, 2, 3, 4, 5, 6)


def timed(call):
    start = time.monotonic()
    result = call()
    return result, time.monotonic() - start


def test_read_raw_waits_for_all_n_or_the_deadline(arm, device):
    assert timed(lambda: arm.read_raw(0))[0] == b""

    device.send(b"12345678")
    got, seconds = timed(lambda: arm.read_raw(8, 0.5))
    assert got == b"12345678" and seconds < 0.3

    device.send(b"abc")
    got, seconds = timed(lambda: arm.read_raw(8, 0.5))
    assert got == b"abc" and 0.45 <= seconds < 1.5

    got, seconds = timed(lambda: arm.read_raw(4))
    assert got == b"" and 0.95 <= seconds < 2.0


def test_read_raw_without_deadline(arm, device):
    device.send(b"ab")
    device.send_after(0.3, b"cdef")
    got, seconds = timed(lambda: arm.read_raw(6, 0))
    assert got == b"abcdef" and seconds >= 0.25

    closed = api.Osmira(api.SerialStream("/nonexistent/ttyACM9"), 0.2)
    assert timed(lambda: closed.read_raw(4, 0))[0] == b""  # a port that is not open ends the wait


def test_read_raw_too_large_to_allocate(arm, device):
    device.send(b"xyz")
    with pytest.raises(MemoryError):
        arm.read_raw(2**62)
    with pytest.raises(TypeError):
        arm.read_raw(-1)
    assert arm.read_raw(3, 0.5) == b"xyz"  # nothing was read, and the arm still works
    device.send(STATE)
    assert arm.end_effector_force() == ([1, 2, 3], [4, 5, 6])


def test_send_raw(arm, device, capfd):
    assert arm.send_raw(b"\x00\xffraw") is None
    assert device.received(5) == b"\x00\xffraw"
    with pytest.raises(RuntimeError, match="^send_raw: underlying stream write failed$"):
        arm.send_raw(b"")
    for wrong in ("str", bytearray(b"ab"), memoryview(b"ab")):
        with pytest.raises(TypeError):
            arm.send_raw(wrong)
    assert device.received(0, timeout=0.1) == b""

    closed = api.Osmira(api.SerialStream("/nonexistent/ttyACM9"), 0.2)
    with pytest.raises(RuntimeError, match="^send_raw: underlying stream write failed$"):
        closed.send_raw(b"abc")
    assert "> unable to write '3' bytes to stream: [" in capfd.readouterr().err


def test_flush_input_discards_without_waiting(arm, device):
    assert timed(arm.flush_input)[1] < 0.1  # nothing waiting

    # More than a terminal holds: the rest follows from the scripting thread as room frees up.
    device.send(bytes(8192))
    device.send_after(0.0, bytes(40000 - 8192))
    arm.flush_input()
    left = 0
    while chunk := arm.read_raw(1024, 0.2):
        left += len(chunk)
    assert left >= 40000 - 32768  # at most 32 x 1024 bytes per call


def test_set_read_timeout_takes_effect_on_the_next_framed_read(device, capfd):
    arm = api.Osmira(api.SerialStream(device.path))
    arm.set_read_timeout(0.2)
    result, seconds = timed(arm.end_effector_force)
    assert result == ([0.0] * 3, [0.0] * 3) and seconds < 2.0  # header wait and discard, 0.2 s each
    assert "Library/src/Device:78> timeout waiting for header code: [" in capfd.readouterr().err


def test_constructors(device):
    stream = api.SerialStream(device.path)
    for arm in (api.Osmira(stream), api.Osmira(stream, 2.0), api.Osmira(stream=stream),
                api.Osmira(stream=stream, timeout=0.5)):
        device.send(STATE)
        assert arm.end_effector_force() == ([1, 2, 3], [4, 5, 6])
    with pytest.raises(TypeError):
        api.Osmira(None)
    doc = api.Osmira.__init__.__doc__
    assert "1. __init__(self: TavixHardwareAPI.Osmira, arg0: TavixHardwareAPI.SerialStream) -> None\n" in doc
    assert ("2. __init__(self: TavixHardwareAPI.Osmira, stream: TavixHardwareAPI.SerialStream, "
            "timeout: float = 5.0) -> None\n\nConstruct an Osmira with a custom serial timeout (seconds).") in doc
    assert api.Osmira.__doc__ == "Osmira Device Class"
    assert not issubclass(api.Osmira, api.Device)


@pytest.mark.parametrize("with_timeout", [False, True])
def test_the_arm_keeps_its_stream_alive(device, with_timeout):
    gc.collect()  # earlier tests' leftovers must not close their ports in the middle of this one
    before = set(os.listdir("/proc/self/fd"))
    stream = api.SerialStream(device.path)
    watch = weakref.ref(stream)
    arm = api.Osmira(stream, 0.2) if with_timeout else api.Osmira(stream)
    del stream
    gc.collect()
    assert watch() is not None
    device.send(STATE)
    assert arm.end_effector_force() == ([1, 2, 3], [4, 5, 6])
    assert device.received(13) == b"\x2a" + bytes(12)

    del arm
    gc.collect()
    assert watch() is None  # the port is closed with the last arm on it
    assert set(os.listdir("/proc/self/fd")) == before
