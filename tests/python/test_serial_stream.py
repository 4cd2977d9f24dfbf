import errno
import os
import termios

import pytest

import TavixHardwareAPI as api


def test_signature_and_docstring():
    doc = api.SerialStream.__init__.__doc__
    assert "__init__(self: TavixHardwareAPI.SerialStream, arg0: str) -> None" in doc
    assert doc.rstrip().endswith("Initialize the serial stream")


def test_opens_the_port_raw_at_115200(device):
    stream = api.SerialStream(device.path)
    attrs = termios.tcgetattr(device.master)  # master and slave share the line settings
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = attrs
    assert ispeed == ospeed == termios.B115200
    assert iflag == termios.IGNBRK | termios.IGNPAR
    assert oflag == 0 and lflag == 0
    assert cflag & termios.CSIZE == termios.CS8
    assert cflag & termios.CREAD and cflag & termios.CLOCAL
    assert cc[termios.VMIN] == 0 and cc[termios.VTIME] == 0
    del stream


def test_port_path_may_be_str_bytes_or_bytearray(device):
    for path in (device.path, device.path.encode(), bytearray(device.path.encode())):
        api.SerialStream(path)


def test_a_port_that_cannot_be_opened_says_why_and_raises_nothing(capfd):
    stream = api.SerialStream("/nonexistent/ttyACM7")
    # The errno of open() itself, not of what ran after it (the DTR ioctl would say EBADF).
    assert capfd.readouterr() == ("", "[err] Library/src/SerialStream:38> unable to open port "
                                      "'/nonexistent/ttyACM7': [2] No such file or directory\n")
    assert (stream.is_open, stream.port, stream.open_error) == (False, "/nonexistent/ttyACM7", errno.ENOENT)


def test_an_open_port_reports_itself(device, capfd):
    stream = api.SerialStream(device.path.encode())
    assert (stream.is_open, stream.port, stream.open_error) == (True, device.path, 0)
    assert capfd.readouterr() == ("", "")


def test_collecting_the_stream_closes_the_port(device):
    before = set(os.listdir("/proc/self/fd"))
    stream = api.SerialStream(device.path)
    assert len(set(os.listdir("/proc/self/fd")) - before) == 2  # the port, and its lock for exclusive use
    del stream
    assert set(os.listdir("/proc/self/fd")) == before


def test_close_and_the_with_block_release_the_port_and_repr_tells_its_state(device):
    before = set(os.listdir("/proc/self/fd"))
    with api.SerialStream(device.path) as stream:
        assert repr(stream) == f"<SerialStream '{device.path}' open>"
        arm = api.Osmira(stream, 0.05)
        assert repr(arm) == f"<Osmira on '{device.path}'>"
    assert set(os.listdir("/proc/self/fd")) == before  # closed although the arm still holds the stream
    assert (stream.is_open, repr(stream)) == (False, f"<SerialStream '{device.path}' closed>")
    stream.close()  # again: nothing happens
    # Nothing more goes through a closed port.
    assert arm.read_raw(1, 0.05) == b""
    with pytest.raises(RuntimeError):
        arm.send_raw(b"\x0a")
    assert device.received() == b""

    class MyHandle(api.Handle):
        pass
    assert repr(MyHandle(stream)) == f"<MyHandle on '{device.path}'>"
    assert repr(api.SerialStream(b"/nonexistent/tty\xff")) == "<SerialStream '/nonexistent/tty\\udcff' closed>"
