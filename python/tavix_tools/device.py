"""Opening the one device a subcommand works with, or saying in one line why it cannot."""

from tavix_tools.args import ZERO_FORCE
from tavix_tools.errors import CommandError
from tavix_tools.libstderr import LibraryErrors
from tavix_tools.ports import resolve_port
from tavix_tools.probe import identify

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


def open_device(path, timeout=DEVICE_TIMEOUT, kinds=("arm", "handle")):
    """(RawLine, verdict) for the arm or handle on ``path``, woken and identified; a
    CommandError saying what is there instead otherwise. A bare name (ttyACM0) is looked
    for under /dev when it is not a file here."""
    path = resolve_port(path)
    api = load_api()
    with LibraryErrors():  # the verdict says why a device did not answer
        line, verdict = identify(api, path, timeout)
    if verdict["verdict"] not in kinds:
        if line is not None:
            line.close()
        if verdict["verdict"] == "none":
            raise CommandError(f"{path}: {verdict['detail']}")
        raise CommandError(f"{path}: this is {ARTICLE[verdict['verdict']]}, not {ARTICLE[kinds[0]]}")
    return line, verdict


def zero_force(arm):
    """The exchange that ends every run that commanded a force: zero force. False when the
    arm did not answer it (it may still be pushing)."""
    try:
        arm.end_effector_force(list(ZERO_FORCE))
    except RuntimeError:  # the line is gone: nothing more can be sent
        return False
    return arm.last_call_ok
