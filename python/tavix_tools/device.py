"""Opening the one device a subcommand works with, or saying in one line why it cannot."""

import os

from tavix_tools.args import ZERO_FORCE
from tavix_tools.errors import CommandError
from tavix_tools.libstderr import LibraryErrors
from tavix_tools.ports import resolve_port


class PortClosed(RuntimeError):
    """The device's port closed under the tool (unplugged, or the line hung up): every call
    would now fail at once, so going on would only spin."""

    def __init__(self):
        super().__init__("its port was closed (unplugged, or the line hung up)")


def check_open(stream):
    """Raises PortClosed once ``stream`` (a SerialStream) has closed."""
    if not stream.is_open:
        raise PortClosed()


# Answers of working devices come within milliseconds; a second is generous.
DEVICE_TIMEOUT = 1.0
ARTICLE = {"arm": "an arm", "handle": "a handle"}


def load_api():
    """The TavixHardwareAPI module, or a one-line failure when it cannot be imported."""
    try:
        import TavixHardwareAPI
    except ImportError as error:
        raise CommandError(f"the TavixHardwareAPI module cannot be imported: {error}") from None
    return TavixHardwareAPI


class DeviceLine:
    """The port of an identified device: ``stream`` and ``raw``, an ``Osmira`` on it with a
    per-call timeout (building it resets the process-wide arm model, which nothing else in the
    tool's process relies on)."""

    def __init__(self, api, stream, timeout):
        self.stream = stream
        self.raw = api.Osmira(stream, timeout)
        # What the probe's wake-up left unread (a handle's answer behind its status frame).
        self.raw.flush_input()

    def close(self):
        """Closes the port (the stream closes with the last object that uses it)."""
        self.stream = self.raw = None


def open_device(path, timeout=DEVICE_TIMEOUT, kinds=("arm", "handle")):
    """(DeviceLine, verdict) for the arm or handle on ``path``, identified by the library's
    probe; a CommandError saying what is there instead otherwise. A bare name (ttyACM0) is
    looked for under /dev when it is not a file here."""
    from tavix_tools.probe import probe  # here: the probe's modules import this one

    path = resolve_port(path)
    api = load_api()
    with LibraryErrors():  # the verdict says why a device did not answer
        verdict = probe(api, path, timeout)
    if verdict["kind"] not in kinds:
        if verdict["kind"] in ARTICLE:
            raise CommandError(f"{path}: this is {ARTICLE[verdict['kind']]}, not {ARTICLE[kinds[0]]}")
        raise CommandError(f"{path}: {verdict['detail']}")
    stream = api.SerialStream(path)
    if stream.open_error:  # taken since the probe let go of it
        raise CommandError(f"{path}: cannot open: {os.strerror(stream.open_error)}")
    return DeviceLine(api, stream, timeout), verdict


def zero_force(arm):
    """The exchange that ends every run that commanded a force: zero force. False when the
    arm did not answer it (it may still be pushing)."""
    try:
        arm.end_effector_force(list(ZERO_FORCE))
    except RuntimeError:  # the line is gone: nothing more can be sent
        return False
    return arm.last_call_ok
