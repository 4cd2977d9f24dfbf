import inspect
import re
import struct
import warnings

import numpy
import pytest

import TavixHardwareAPI as api
from fakedevice import floats
from ticker import Ticker

STATE = b"\x2b" + floats(1.5, 2.5, 3.5, 4.5, 5.5, 6.5)
JOINT_STATE = b"\x1b" + floats(10.0, 20.0, 30.0, -1.0, -2.0, -3.0)
ZEROS = ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])


def error_lines(err):
    return re.findall(r"^\[err\] Library/src/Device:(\d+)> ([^:]+): \[-?\d+\] .+$", err, re.M)


@pytest.mark.parametrize("method, code, reply", [
    ("end_effector_force", 0x2A, STATE),
    ("end_effector_position", 0x2C, STATE),
    ("joint_torques", 0x1A, JOINT_STATE),
    ("joint_angles", 0x1C, JOINT_STATE),
])
def test_current_methods_exchange_one_frame(arm, device, method, code, reply):
    exchange = getattr(arm, method)
    device.send(reply)
    result = exchange([1.0, 2.0, 3.0, 4.0])  # the fourth value is ignored
    values = list(struct.unpack("<6f", reply[1:]))
    assert result == (values[:3], values[3:])
    assert type(result) is tuple and all(type(v) is list for v in result)
    assert device.received(13) == bytes([code]) + floats(1.0, 2.0, 3.0)

    device.send(reply)
    exchange()
    assert device.received(13) == bytes([code]) + bytes(12)


def test_wrong_header_and_silence_give_zeros(arm, device, capfd):
    device.send(JOINT_STATE)  # the joint state is not the answer to a force
    assert arm.end_effector_force([1, 1, 1]) == ZEROS
    assert not arm.last_call_ok
    assert error_lines(capfd.readouterr().err) == [("170", "unexpected reply code 0x1b where 0x2b was due"),
                                                   ("153", "timeout waiting for bytes")]

    device.received(13)
    arm.flush_input()
    assert arm.end_effector_force() == ZEROS
    assert error_lines(capfd.readouterr().err) == [("78", "timeout waiting for header code"),
                                                   ("153", "timeout waiting for bytes")]


def test_notifications_before_the_reply_are_skipped(arm, device):
    device.send(b"\xba\x01\x03abc" + b"\xbb\x02\x00" + STATE)
    assert arm.end_effector_force() == ([1.5, 2.5, 3.5], [4.5, 5.5, 6.5])


@pytest.mark.parametrize("method, reply, warning", [
    ("ReceiveState", STATE, "ReceiveState is deprecated, use end_effector instead"),
    ("ReceiveJointState", JOINT_STATE, "ReceiveJointState is deprecated, use joint_torques instead"),
], ids=["state", "joint state"])
def test_receive_returns_copies(arm, device, method, reply, warning):
    first, second = [1.0, 2.0, 3.0, 9.0], [4.0, 5.0, 6.0]
    device.send(reply)
    with pytest.warns(DeprecationWarning, match=f"^{warning}$"):
        got = getattr(arm, method)(first, second)
    values = list(struct.unpack("<6f", reply[1:]))
    assert got == (values[:3] + [9.0], values[3:])
    assert (first, second) == ([1.0, 2.0, 3.0, 9.0], [4.0, 5.0, 6.0])  # the caller's lists are untouched

    with pytest.warns(DeprecationWarning):
        got = getattr(arm, method)(first, second)  # no reply: the copies come back unchanged
    assert got == (first, second) and got[0] is not first


def test_send_force_overloads_put_identical_bytes_on_the_line(arm, device):
    with pytest.warns(DeprecationWarning) as record:
        first_line = inspect.currentframe().f_lineno + 1
        arm.SendForce([1.0, 2.0, 3.0])
        arm.SendForce(1.0, 2.0, 3.0)
        arm.SendForce(1, 2, 3)
    assert [str(w.message) for w in record] == ["SendForce is deprecated, use end_effector_force instead"] * 3
    assert [(w.filename, w.lineno) for w in record] == [(__file__, first_line + i) for i in range(3)]
    assert device.received(39) == (b"\x2a" + floats(1.0, 2.0, 3.0)) * 3

    with pytest.warns(DeprecationWarning):
        arm.SendForce()
    assert device.received(13) == b"\x2a" + bytes(12)


def test_split_send_and_receive_equal_one_exchange(arm, device):
    device.send(STATE)
    with pytest.warns(DeprecationWarning) as record:
        arm.SendForce([0.5, 0.0, -0.5])
        split = arm.ReceiveState()
    assert len(record) == 2
    request = device.received(13)
    device.send(STATE)
    assert arm.end_effector_force([0.5, 0.0, -0.5]) == split
    assert device.received(13) == request


@pytest.mark.parametrize("method, code, warning", [
    ("SendPosition", 0x2C, "SendPosition is deprecated, use end_effector_position instead"),
    ("SendJointTorques", 0x1A, "SendJointTorques is deprecated, use joint_torques instead"),
    ("SendAngle", 0x1C, None),
])
def test_older_sends(arm, device, method, code, warning):
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        getattr(arm, method)((7, 8, 9))
    assert [str(w.message) for w in record] == ([warning] if warning else [])
    assert device.received(13) == bytes([code]) + floats(7, 8, 9)


def test_warning_made_an_error_stops_the_call_before_any_traffic(arm, device):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning):
            arm.SendForce([1.0, 2.0, 3.0])
    assert device.received(0, timeout=0.1) == b""


def test_vector_arguments_are_any_sequence_of_at_least_three_numbers(arm, device):
    for vector in ((1, 2, 3), numpy.array([1.0, 2.0, 3.0]), range(1, 4)):
        device.send(STATE)
        arm.end_effector_force(vector)
        assert device.received(13) == b"\x2a" + floats(1, 2, 3)
    for wrong in ("123", b"123", [1.0, "x", 3.0], None):
        with pytest.raises(TypeError):
            arm.end_effector_force(wrong)
    with pytest.raises(ValueError, match=r"^force request vector: expected at least 3 values, got 2$"):
        arm.end_effector_force([1.0, 2.0])
    with pytest.raises(ValueError, match=r"^position: expected at least 3 values, got 0$"):
        arm.ReceiveState([], [0, 0, 0])  # refused before it warns
    assert device.received(0, timeout=0.1) == b""


def test_get_end_effector_position(arm, device):
    device.send(STATE)
    assert arm.get_end_effector_position() == ([1.5, 2.5, 3.5], [4.5, 5.5, 6.5])
    assert device.received(13) == b"\x2a" + bytes(12)

    device.send(JOINT_STATE)
    position, velocity = arm.get_end_effector_position(numpy.bool_(False))
    assert velocity == [0.0, 0.0, 0.0] and position != [0.0, 0.0, 0.0]
    assert device.received(13) == b"\x1a" + bytes(12)


def test_other_threads_run_while_waiting_for_a_slow_reply(arm, device):
    device.send_after(0.15, STATE)
    with Ticker() as ticker:
        result, ran = ticker.ran_inside(lambda: arm.end_effector_force())
    assert result == ([1.5, 2.5, 3.5], [4.5, 5.5, 6.5])
    assert ran


def test_signatures():
    assert api.Osmira.end_effector_force.__doc__ == (
        "end_effector_force(self: TavixHardwareAPI.Osmira, force request vector: list[float] = [0.0, 0.0, 0.0])"
        " -> tuple\n\nSend forces to the device and receive device states\n")
    assert "get_end_effector_position(self: TavixHardwareAPI.Osmira, onboard: bool = True) -> tuple" in \
        api.Osmira.get_end_effector_position.__doc__
    send_force = api.Osmira.SendForce.__doc__
    first = "1. SendForce(self: TavixHardwareAPI.Osmira, force: list[float] = [0.0, 0.0, 0.0]) -> None"
    second = ("2. SendForce(self: TavixHardwareAPI.Osmira, ForceX: float = 0, ForceY: float = 0, "
              "ForceZ: float = 0) -> None")
    assert send_force.index(first) < send_force.index(second)
    assert "joint_velocity: list[float] = [0.0, 0.0, 0.0]) -> tuple\n" in api.Osmira.ReceiveJointState.__doc__
