"""``tavix list``: every candidate port and what answers on it.

All ports are probed at once, one worker thread each; the probes wait with the interpreter
lock released, so silent ports cost one timeout together rather than one each.
"""

import json
import time
from concurrent.futures import ThreadPoolExecutor

from tavix_tools.args import positive_seconds
from tavix_tools.device import load_api
from tavix_tools.libstderr import LibraryErrors
from tavix_tools.ports import ports_to_examine
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


def run(args):
    start = time.monotonic()
    verdicts = probe_all(ports_to_examine(args.port), args.timeout)
    seconds = time.monotonic() - start
    if args.json:
        print(json.dumps({"ports": verdicts, "timeout": args.timeout, "seconds": round(seconds, 3)}, indent=2))
    elif not verdicts:
        print("no serial ports (no /dev entry has ttyACM, ttyUSB or rfcomm in its name)")
    else:
        width = max(len(v["port"]) for v in verdicts)
        for verdict in verdicts:
            print(describe(verdict, width))
    return 0 if any(v["verdict"] != "none" for v in verdicts) else 1
