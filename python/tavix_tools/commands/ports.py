"""``tavix list``: every candidate port, what the kernel knows of it and what answers on it.

All ports are probed at once, one worker thread each; the probes wait with the interpreter
lock released, so silent ports cost one timeout together rather than one each. Each port
also gets its USB identity (sysfs) and its names under /dev/serial/by-id.
"""

import json
import time
from concurrent.futures import ThreadPoolExecutor

from tavix_tools.args import positive_seconds
from tavix_tools.device import load_api
from tavix_tools.libstderr import LibraryErrors
from tavix_tools.ports import by_id_names, ports_to_examine, usb_identity
from tavix_tools.probe import probe

NAME = "list"
HELP = "list the serial ports and what answers on each"
ORDER = 10
DEFAULT_TIMEOUT = 1.0


def add_arguments(parser):
    parser.add_argument("--json", action="store_true", help="one JSON document on standard output")
    parser.add_argument("--timeout", type=positive_seconds, default=DEFAULT_TIMEOUT, metavar="S",
                        help=f"seconds to wait for an answer (default {DEFAULT_TIMEOUT:g})")
    parser.add_argument("--port", action="append", default=[], metavar="PATH",
                        help="also probe this port (repeatable)")


def probe_all(paths, timeout):
    """The verdicts of the ports, in their order. The library's timeout lines are dropped:
    each verdict already says that a port did not answer, in the tool's words."""
    if not paths:
        return []
    api = load_api()
    with LibraryErrors(), ThreadPoolExecutor(max_workers=len(paths)) as pool:
        return list(pool.map(lambda path: probe(api, path, timeout), paths))


def with_identity(verdict):
    """The verdict with the port's USB identity ("usb", None off USB) and by-id names."""
    return {**verdict, "usb": usb_identity(verdict["port"]), "by_id": by_id_names(verdict["port"])}


def describe_identity(verdict):
    """The lines under a port's verdict: its USB identity and its /dev/serial/by-id names."""
    lines = []
    usb = verdict["usb"]
    if usb:
        named = " ".join(filter(None, (usb["manufacturer"], usb["product"])))
        extras = [f"serial {usb['serial']}" if usb["serial"] else None,
                  f"interface {usb['interface']}" if usb["interface"] else None]
        lines.append(", ".join(filter(None, [f"usb {usb['vendor_id']}:{usb['product_id']} {named}".rstrip(), *extras])))
    lines.extend(f"by-id {name}" for name in verdict["by_id"])
    return lines


def describe(verdict, width):
    """One line for a verdict, its port name padded to ``width``."""
    port = verdict["port"].ljust(width)
    if verdict["verdict"] == "arm":
        return (f"{port}  arm     device id {verdict['device_id']}, model {verdict['model']}, "
                f"hardware {verdict['hardware_version']}, firmware {verdict['firmware_version']}, "
                f"uuid {verdict['uuid']}")
    if verdict["verdict"] == "handle":
        known = "" if verdict["model"] is None else (
            f", model {verdict['model']}, hardware {verdict['hardware_version']}, "
            f"firmware {verdict['firmware_version']}")
        return f"{port}  handle  device id {verdict['device_id']}, {verdict['link']}{known}"
    return f"{port}  -       {verdict['detail']}"


NOTHING_FOUND = """no serial ports: no /dev entry has ttyACM, ttyUSB or rfcomm in its name
  a port by another name: tavix list --port PATH (repeatable)
  simulated devices: start tavix sim, which prints its ports (arm /dev/pts/3, handle /dev/pts/4),
  then give them: tavix list --port /dev/pts/3 --port /dev/pts/4
  a device plugged in but not listed: tavix doctor"""


def run(args):
    start = time.monotonic()
    verdicts = [with_identity(v) for v in probe_all(ports_to_examine(args.port), args.timeout)]
    seconds = time.monotonic() - start
    if args.json:
        print(json.dumps({"ports": verdicts, "timeout": args.timeout, "seconds": round(seconds, 3)}, indent=2))
    elif not verdicts:
        print(NOTHING_FOUND)
    else:
        width = max(len(v["port"]) for v in verdicts)
        for verdict in verdicts:
            print(describe(verdict, width))
            for line in describe_identity(verdict):
                print(" " * (width + 2) + line)
    return 0 if any(v["verdict"] != "none" for v in verdicts) else 1
