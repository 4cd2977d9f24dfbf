import threading
import time

import pytest

import TavixHardwareAPI as api
from handle_messages import error, info, status

PURE_VIRTUAL = 'Tried to call pure virtual function "API::Devices::Handle::OnReceiveHandleStatusMessage"'


class Recorder(api.Handle):
    def __init__(self, stream):
        api.Handle.__init__(self, stream)
        self.calls = []

    def OnReceiveHandleInfo(self, *args):
        self.calls.append(("info", args))

    def OnReceiveHandleStatusMessage(self, *args):
        self.calls.append(("status", args))

    def OnReceiveHandleErrorResponse(self, *args):
        self.calls.append(("error", args))


@pytest.fixture
def stream(device):
    return api.SerialStream(device.path)


def test_overrides_receive_every_message_with_python_values(device, stream):
    handle = Recorder(stream)
    user_data = bytes(range(254, -1, -1))
    device.send(info(5, 0x1234, 2, 3, 4) + status(0xBEEF, (0.5, -0.5, 0.25, 1.0), 1, 31)
                + status(1, (0, 0, 0, 1), 0, 0, user_data) + error(7, 42))
    assert [handle.Receive() for _ in range(4)] == [6, 21, 276, 3]
    assert handle.calls[0] == ("info", (5, 0x1234, 2, 3, 4))
    assert handle.calls[1] == ("status", (0xBEEF, [0.5, -0.5, 0.25, 1.0], 1, 31, 0, []))
    kind, args = handle.calls[2]
    assert kind == "status" and args[4] == 255 and args[5] == list(user_data)
    assert handle.calls[3] == ("error", (7, 42))
    assert all(type(value) is int for value in handle.calls[0][1] + handle.calls[3][1])


def test_direct_status_call_forwards_only_what_python_gave(stream):
    handle = Recorder(stream)
    forward = api.Handle.OnReceiveHandleStatusMessage  # the binding's method, forwarding to the override
    forward(handle, 3, (1, 2, 3, 4), 0, 0, 2, b"\x05\x06\x07")
    forward(handle, 3, [0.5] * 4, 0, 0, 1, [9])
    forward(handle, 3, 0.75, 0, 0, 3, 8)  # older one-value form, padded with zeros
    assert [args for _, args in handle.calls] == [
        (3, [1.0, 2.0, 3.0, 4.0], 0, 0, 2, [5, 6]),
        (3, [0.5] * 4, 0, 0, 1, [9]),
        (3, [0.75, 0.0, 0.0, 0.0], 0, 0, 3, [8, 0, 0]),
    ]


def test_only_information_overridden(device, stream):
    class InfoOnly(api.Handle):
        seen = None

        def OnReceiveHandleInfo(self, *args):
            self.seen = args

    handle = InfoOnly(stream)
    device.send(info(1, 2, 3, 4, 5) + error(7, 42) + status(1, (0, 0, 0, 1), 0, 0) + error(8, 1))
    assert handle.Receive() == 6 and handle.seen == (1, 2, 3, 4, 5)
    assert handle.Receive() == 3
    with pytest.raises(RuntimeError) as raised:
        handle.Receive()
    assert str(raised.value) == PURE_VIRTUAL
    assert handle.Receive() == 3  # the status message was read whole: the next message is intact
    with pytest.raises(RuntimeError, match="^" + PURE_VIRTUAL.replace("(", r"\(") + "$"):
        handle.OnReceiveHandleStatusMessage(1, 1.0, 0, 0, 0, 0)


def test_exception_raised_by_an_override_leaves_receive_unchanged(device, stream):
    problem = ValueError("bad message")

    class Raising(api.Handle):
        def OnReceiveHandleErrorResponse(self, device_id, error_code):
            raise problem

    handle = Raising(stream)
    device.send(error(7, 42))
    with pytest.raises(ValueError) as raised:
        handle.Receive()
    assert raised.value is problem


def test_plain_handle_dispatches_to_nothing(device, stream):
    handle = api.Handle(stream)
    device.send(status(1, (0, 0, 0, 1), 0, 0, b"\x01") + info(1, 2, 3, 4, 5))
    assert handle.Receive() == 22  # no override to miss: the status message is simply counted
    assert handle.Receive() == 6


def test_override_calling_the_base_method(device, stream):
    class Delegating(api.Handle):
        results = []

        def OnReceiveHandleInfo(self, *args):
            self.results.append(api.Handle.OnReceiveHandleInfo(self, *args))

        def OnReceiveHandleStatusMessage(self, *args):
            api.Handle.OnReceiveHandleStatusMessage(self, *args)

    handle = Delegating(stream)
    device.send(info(1, 2, 3, 4, 5) + status(1, (0, 0, 0, 1), 0, 0))
    assert handle.Receive() == 6 and handle.results == [None]
    with pytest.raises(RuntimeError, match="pure virtual"):
        handle.Receive()


def test_forgotten_base_init_is_refused(stream):
    class Forgetful(api.Handle):
        def __init__(self, stream):
            self.stream = stream

    message = r"^TavixHardwareAPI\.Handle\.__init__\(\) must be called when overriding __init__$"
    with pytest.raises(TypeError, match=message):
        Forgetful(stream)


def test_other_threads_run_while_receive_waits(device, stream):
    handle = Recorder(stream)

    def other_thread():
        # Python code that must run while Receive waits, or the message never comes.
        time.sleep(0.1)
        device.send(error(7, 42))

    worker = threading.Thread(target=other_thread)
    worker.start()
    count = handle.Receive()
    worker.join()
    assert count == 3 and handle.calls == [("error", (7, 42))]
