"""Serial ports: the candidates the library's scan lists (its name rules), and the kind a
port's name shows."""

import os

from tavix_tools import device

KIND_NAMES = {1: "ttyACM", 2: "ttyUSB", 3: "rfcomm"}


def candidate_ports():
    """Canonical paths of the candidate ports under /dev, in the scan's order."""
    return [path for path, _kind in device.load_api().scan_serial_ports()]


def marker_of(path):
    """The marker ("ttyACM", "ttyUSB" or "rfcomm") the port's name carries, or None."""
    return KIND_NAMES.get(device.load_api().port_kind_of_name(os.path.basename(path)))


def ports_to_examine(extra=()):
    """The candidates, then the ports given by the user that are not among them."""
    ports = candidate_ports()
    for path in extra:
        canonical = os.path.realpath(path)
        if canonical not in ports:
            ports.append(canonical)
    return ports
