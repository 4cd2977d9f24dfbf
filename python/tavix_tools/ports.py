"""Serial ports: which ones are candidates, and opening one.

Candidates follow the name rules of the module's detect functions: entries of /dev whose
names contain "ttyACM", "ttyUSB" or "rfcomm" (the first of these markers found in that
order names the kind), each under its canonical path, in directory order.
"""

import os
import stat

MARKERS = ("ttyACM", "ttyUSB", "rfcomm")
WIRELESS = "rfcomm"


def marker_of(path):
    """The marker the port's name carries, or None."""
    name = os.path.basename(path)
    return next((marker for marker in MARKERS if marker in name), None)


def link_of(path):
    """'wireless' for a Bluetooth (rfcomm) port, else 'wired'."""
    return "wireless" if marker_of(path) == WIRELESS else "wired"


def candidate_ports(directory="/dev"):
    """Canonical paths of the candidate ports under ``directory``, in directory order."""
    try:
        names = os.listdir(directory)
    except FileNotFoundError:
        return []
    return [os.path.realpath(os.path.join(directory, name)) for name in names if marker_of(name)]


def ports_to_examine(extra=(), directory="/dev"):
    """The candidates, then the ports given by the user that are not among them."""
    ports = candidate_ports(directory)
    for path in extra:
        canonical = os.path.realpath(path)
        if canonical not in ports:
            ports.append(canonical)
    return ports


def is_character_device(path):
    try:
        return stat.S_ISCHR(os.stat(path).st_mode)
    except OSError:
        return False


def open_stream(api, path):
    """A SerialStream on ``path`` and the errno of its failed open (0 when it is open)."""
    stream = api.SerialStream(path)
    return stream, stream.open_error
