"""Serial ports: which ones are candidates, what the kernel knows of them, and opening one.

Candidates are those of the library's scan (its name rules: entries of /dev whose names
contain "ttyACM", "ttyUSB" or "rfcomm"), each under its canonical path. Ports are shown
sorted by path, with numbers in their natural order (ttyACM2 before ttyACM10).

What the kernel knows of a port is read from sysfs (its USB identity) and from
/proc/tty/drivers (whether a character device is a terminal at all, and of which driver),
never by opening it: opening a serial port raises its modem lines, which resets some boards.
"""

import os
import re
import stat

KIND_NAMES = {1: "ttyACM", 2: "ttyUSB", 3: "rfcomm"}
WIRELESS = "rfcomm"
DEV = "/dev"
SYSFS = "/sys"
BY_ID = "/dev/serial/by-id"
TTY_DRIVERS = "/proc/tty/drivers"
# The USB device's attributes shown for a port, and the keys they get.
USB_ATTRIBUTES = {"idVendor": "vendor_id", "idProduct": "product_id", "serial": "serial",
                  "manufacturer": "manufacturer", "product": "product"}


def marker_of(path):
    """The marker ("ttyACM", "ttyUSB" or "rfcomm") the port's name carries, or None."""
    from tavix_tools.device import load_api  # here: that module opens ports named by this one

    return KIND_NAMES.get(load_api().port_kind_of_name(os.path.basename(path)))


def link_of(path):
    """'wireless' for a Bluetooth (rfcomm) port, else 'wired'."""
    return "wireless" if marker_of(path) == WIRELESS else "wired"


def path_order(path):
    """Sort key: the path with its runs of digits compared as numbers."""
    return [(0, int(part), "") if part.isdigit() else (1, 0, part) for part in re.split(r"(\d+)", path)]


def candidate_ports():
    """Canonical paths of the candidate ports under /dev (the library's scan), sorted by path."""
    from tavix_tools.device import load_api

    return sorted({path for path, _kind in load_api().scan_serial_ports()}, key=path_order)


def resolve_port(given, directory=DEV):
    """The path a user means: a relative name that is nothing here but an entry under
    ``directory`` (ttyACM0, pts/3) stands for that entry (/dev/ttyACM0, /dev/pts/3)."""
    if not given or os.path.isabs(given) or os.path.lexists(given):
        return given
    under = os.path.join(directory, given)
    return under if os.path.lexists(under) else given


def ports_to_examine(extra=(), directory=DEV):
    """The candidates and the ports given by the user, each once, sorted by path."""
    ports = set(candidate_ports())
    ports.update(os.path.realpath(resolve_port(path, directory)) for path in extra)
    return sorted(ports, key=path_order)


def is_character_device(path):
    try:
        return stat.S_ISCHR(os.stat(path).st_mode)
    except OSError:
        return False


def _read_attribute(directory, name):
    try:
        with open(os.path.join(directory, name), "rb") as f:
            return f.read().decode(errors="replace").strip()
    except OSError:
        return None


def char_device_dir(device, sysfs=SYSFS):
    """The sysfs directory of character device number ``device`` (an st_rdev), or None.
    Through the device number rather than the name: a node may be named otherwise than
    the kernel names it."""
    link = os.path.join(sysfs, "dev", "char", f"{os.major(device)}:{os.minor(device)}")
    return os.path.realpath(link) if os.path.exists(link) else None


def kernel_name(device, sysfs=SYSFS):
    """The kernel's name of character device number ``device`` (ttyUSB0), or None."""
    directory = char_device_dir(device, sysfs)
    return os.path.basename(directory) if directory else None


def usb_identity(path, sysfs=SYSFS):
    """The USB device behind a serial port, from sysfs: vendor_id, product_id (four hex
    digits), serial, manufacturer, product (None when the device does not say) and
    interface (the USB interface's own name, or None); None when the port is not on USB."""
    try:
        directory = char_device_dir(os.stat(path).st_rdev, sysfs)
    except OSError:
        return None
    interface = None
    top = os.path.realpath(sysfs)
    # Up from the terminal to the USB device, the first directory with a vendor id; the
    # USB interface (or a USB serial port's interface) is on the way.
    while directory and directory.startswith(top + os.sep):
        if os.path.exists(os.path.join(directory, "idVendor")):
            identity = {key: _read_attribute(directory, name) for name, key in USB_ATTRIBUTES.items()}
            return {**identity, "interface": interface}
        interface = interface or _read_attribute(directory, "interface")
        directory = os.path.dirname(directory)
    return None


def by_id_names(path, directory=BY_ID):
    """The names in ``directory`` (/dev/serial/by-id) that lead to ``path``, sorted."""
    try:
        names = os.listdir(directory)
    except OSError:
        return []
    target = os.path.realpath(path)
    return sorted(name for name in names if os.path.realpath(os.path.join(directory, name)) == target)


def _number_range(text):
    first, _, last = text.partition("-")
    return int(first), int(last or first)


def _driver_type(device, drivers):
    """The type column of /proc/tty/drivers for the driver of ``device`` ("serial",
    "pty:slave", "system:/dev/tty" ...), or None."""
    try:
        with open(drivers) as table:
            rows = [line.split() for line in table]
    except OSError:
        return None
    major, minor = os.major(device), os.minor(device)
    for row in rows:
        if len(row) < 5:
            continue
        majors, minors = _number_range(row[2]), _number_range(row[3])
        if majors[0] <= major <= majors[1] and (minors[0] <= minor <= minors[1] or majors[0] < majors[1]):
            return row[4]
    return None


# The major numbers the kernel reserves for USB modems (ttyACM), USB serial adapters (ttyUSB)
# and Bluetooth serial links (rfcomm): terminals even while their driver is not loaded.
SERIAL_PORT_MAJORS = (166, 188, 216)


def terminal_kind(device, sysfs=SYSFS, drivers=TTY_DRIVERS):
    """What character device number ``device`` is: "pty" for the slave side of a
    pseudo-terminal, "terminal" for any other terminal (a serial port among them), None
    for a device that is no terminal. The kernel's table of terminal drivers says it; a
    driver not in it (a module not loaded) is known by its sysfs class or its reserved major."""
    kind = _driver_type(device, drivers)
    if kind is not None:
        return "pty" if kind == "pty:slave" else "terminal"
    directory = char_device_dir(device, sysfs)
    subsystem = directory and os.path.join(directory, "subsystem")
    if subsystem and os.path.basename(os.path.realpath(subsystem)) == "tty":
        return "terminal"
    return "terminal" if os.major(device) in SERIAL_PORT_MAJORS else None


def open_stream(api, path):
    """A SerialStream on ``path`` and the errno of its failed open (0 when it is open)."""
    stream = api.SerialStream(path)
    return stream, stream.open_error
