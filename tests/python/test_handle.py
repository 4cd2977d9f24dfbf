import gc
import weakref

import pytest

import TavixHardwareAPI as api
from handle_messages import error


@pytest.fixture
def handle(device):
    stream = api.SerialStream(device.path)
    yield api.Handle(stream)


def test_registration_signatures_and_docstrings():
    assert api.Handle.__doc__ == "The holdra handle class"
    assert "__init__(self: TavixHardwareAPI.Handle, arg0: TavixHardwareAPI.SerialStream) -> None" in api.Handle.__init__.__doc__
    assert not issubclass(api.Handle, api.Device)
    send_state = api.Handle.SendHandleState.__doc__
    assert "device_id: int = 0, data_length: int = 0, user_data: bytes | collections.abc.Sequence[int] | int | None = None" in send_state
    assert send_state.rstrip().endswith("send handle state")
    assert api.Handle.RequestStatus.__doc__.rstrip().endswith("request handle status")
    receive = api.Handle.Receive.__doc__
    assert receive.index("Receive data from the handle") < receive.index("obsolete: int) -> int")
    assert receive.rstrip().endswith("[DEPRECATED] Receive current and return current")
    for name in ("OnReceiveHandleInfo", "OnReceiveHandleStatusMessage", "OnReceiveHandleErrorResponse"):
        assert getattr(api.Handle, name).__doc__.rstrip().endswith(name)
    assert "-> dict" in api.Handle.GetHoldraStatus.__doc__


@pytest.mark.parametrize("user_data, data_length, sent", [
    ([0xAA, 0xBB, 0xCC], 2, "AA BB"),
    (bytearray(b"\x01\x02"), 2, "01 02"),
    (0x7F, 1, "7F"),            # a single int is one byte, as older callers pass it
    (b"\x01", 0, ""),
    (None, 0, ""),
    (bytes(range(255)), 255, bytes(range(255)).hex()),
])
def test_send_handle_state_takes_bytes_sequences_or_one_int(device, handle, user_data, data_length, sent):
    handle.SendHandleState(device_id=7, data_length=data_length, user_data=user_data)
    assert device.received(4 + data_length) == bytes([0xDB, 7, 0, data_length]) + bytes.fromhex(sent)


def test_send_handle_state_defaults_to_an_empty_state(device, handle):
    handle.SendHandleState()
    assert device.received(4) == bytes.fromhex("DB 00 00 00")


@pytest.mark.parametrize("data_length, user_data, held", [(3, b"\xaa\xbb", 2), (2, 0x7F, 1), (1, None, 0), (1, [], 0)])
def test_send_handle_state_never_sends_more_than_it_was_given(device, handle, data_length, user_data, held):
    with pytest.raises(ValueError, match=rf"^data_length \({data_length}\) exceeds the length of user_data \({held}\)$"):
        handle.SendHandleState(1, data_length, user_data)
    assert device.received(timeout=0.1) == b""


@pytest.mark.parametrize("args", [(65536,), (0, 256), (-1,), (0, 1, [256]), (0, 1, "a"), (0, 1, 1.5), (0.5,)])
def test_send_handle_state_refuses_values_out_of_range_or_type(device, handle, args):
    with pytest.raises(TypeError):
        handle.SendHandleState(*args)
    assert device.received(timeout=0.1) == b""


def test_receive_with_an_argument_warns_then_receives(device, handle):
    device.send(error(7, 42))
    with pytest.warns(DeprecationWarning, match="^Receive with one argument is deprecated$") as caught:
        assert handle.Receive(1) == 3
    assert caught[0].filename == __file__


def test_callbacks_called_directly_on_a_plain_handle_do_nothing(handle):
    assert handle.OnReceiveHandleInfo(1, 65535, 3, 4, 5) is None
    assert handle.OnReceiveHandleErrorResponse(7, 42) is None
    assert handle.OnReceiveHandleStatusMessage(7, [1.0, 0.0, 0.0, 0.0], 0, 0, 2, b"\x01\x02") is None
    assert handle.OnReceiveHandleStatusMessage(7, 1.0, 0, 0, 255, 3) is None  # older one-value form
    with pytest.raises(TypeError):
        handle.OnReceiveHandleInfo(256, 0, 0, 0, 0)


@pytest.mark.parametrize("quaternion, length, data, message", [
    ([1.0, 0.0, 0.0], 0, b"", r"^quaternion: expected 4 values, got 3$"),
    ((1, 2, 3, 4, 5), 0, b"", r"^quaternion: expected 4 values, got 5$"),
    ([1.0, 0.0, 0.0, 0.0], 3, [1, 2], r"^user_data_length \(3\) exceeds the length of user_data \(2\)$"),
    ([1.0, 0.0, 0.0, 0.0], 1, None, r"^user_data_length \(1\) exceeds the length of user_data \(0\)$"),
])
def test_status_callback_refuses_what_would_be_read_past(handle, quaternion, length, data, message):
    with pytest.raises(ValueError, match=message):
        handle.OnReceiveHandleStatusMessage(1, quaternion, 0, 0, length, data)


def test_handle_keeps_its_stream_alive(device):
    stream = api.SerialStream(device.path)
    stream_ref = weakref.ref(stream)
    handle = api.Handle(stream)
    del stream
    gc.collect()
    assert stream_ref() is not None
    handle.SendDeviceWakeup()
    assert device.received(1) == b"\x0a"
    device.send(error(1, 2))
    assert handle.Receive() == 3
    del handle
    gc.collect()
    assert stream_ref() is None  # released with the handle: the port does not leak
