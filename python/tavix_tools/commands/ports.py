"""``tavix list``: every candidate port, what the kernel knows of it and what answers on it.

All ports are probed at once, one worker thread each; the library's probes wait with the
interpreter lock released, so silent ports cost one timeout together rather than one each.
Each port also gets its USB identity (sysfs) and its names under /dev/serial/by-id. Ctrl-C
prints the verdicts that have come and ends the command at once.
"""

import json
import os
import queue
import signal
import sys
import threading
import time

from tavix_tools.args import positive_seconds
from tavix_tools.cli import INTERRUPTED
from tavix_tools.device import load_api
from tavix_tools.libstderr import LibraryErrors
from tavix_tools.ports import by_id_names, ports_to_examine, usb_identity
from tavix_tools.probe import DEVICES, probe
from tavix_tools.signals import STOP_SIGNALS

NAME = "list"
HELP = "list the serial ports and what answers on each"
ORDER = 10
DEFAULT_TIMEOUT = 1.0
# s: a probe that had its answer when Ctrl-C came still needs its thread to hand the verdict
# over; on two busy processors that took more than 50 ms.
FINISHING = 0.15


def add_arguments(parser):
    parser.add_argument("--json", action="store_true", help="one JSON document on standard output")
    parser.add_argument("--timeout", type=positive_seconds, default=DEFAULT_TIMEOUT, metavar="S",
                        help=f"seconds to wait for an answer (default {DEFAULT_TIMEOUT:g})")
    parser.add_argument("--port", action="append", default=[], metavar="PATH",
                        help="also probe this port (repeatable)")


def probe_all(paths, timeout):
    """(verdicts, interrupted): the verdicts of the ports in their order, probed side by side;
    after Ctrl-C, those that had come. The library's timeout lines are dropped: each verdict
    already says that a port did not answer, in the tool's words. Daemon threads: an
    interrupted listing does not wait for them."""
    if not paths:
        return [], False
    api = load_api()
    found, done = {}, queue.SimpleQueue()
    with LibraryErrors():
        try:
            for path in paths:
                threading.Thread(target=probe_into, args=(done, api, path, timeout), daemon=True).start()
            while len(found) < len(paths):
                verdict = done.get()
                if isinstance(verdict, Exception):
                    raise verdict
                found[verdict["port"]] = verdict
        except KeyboardInterrupt:
            collect_finishing(done, found)
            return [found[path] for path in paths if path in found], True
    return [found[path] for path in paths], False


def probe_into(done, api, path, timeout):
    """Puts the verdict for ``path`` into ``done``, or the exception that the probe raised, for
    the waiting thread to raise: a worker that ended silently would leave it waiting. The stop
    signals are blocked here, so that the kernel hands Ctrl-C to the main thread: taken by a
    worker, it would only be seen once the main thread's wait for a verdict ended."""
    signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    try:
        done.put(probe(api, path, timeout))
    except Exception as error:
        done.put(error)


def collect_finishing(done, found):
    """Takes the verdicts of probes that end within FINISHING seconds of each other: those
    that had their answer when Ctrl-C came are on their way to the queue."""
    try:
        while True:
            verdict = done.get(timeout=FINISHING)
            if not isinstance(verdict, Exception):
                found[verdict["port"]] = verdict
    except queue.Empty:
        pass


def end_interrupted():
    """Ends the process at once with the interrupted status. Probes still running on worker
    threads cannot be stopped from here, and the library's teardown must not run under them."""
    sys.stdout.flush()
    os._exit(INTERRUPTED)


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
    identity = verdict["identity"] or {}
    if verdict["kind"] == "arm":
        return (f"{port}  arm     device id {identity['device_id']}, model {identity['model']}, "
                f"hardware {identity['hardware_version']}, firmware {identity['firmware_version']}, "
                f"uuid {identity['uuid']}")
    if verdict["kind"] == "handle":
        known = "" if "model" not in identity else (
            f", model {identity['model']}, hardware {identity['hardware_version']}, "
            f"firmware {identity['firmware_version']}")
        return f"{port}  handle  device id {identity.get('device_id', '?')}, {verdict['link']}{known}"
    return f"{port}  -       {verdict['detail']}"


NOTHING_FOUND = """no serial ports: no /dev entry has ttyACM, ttyUSB or rfcomm in its name
  a port by another name: tavix list --port PATH (repeatable)
  simulated devices: start tavix sim, which prints its ports (arm /dev/pts/3, handle /dev/pts/4),
  then give them: tavix list --port /dev/pts/3 --port /dev/pts/4
  a device plugged in but not listed: tavix doctor"""


def run(args):
    start = time.monotonic()
    found, interrupted = probe_all(ports_to_examine(args.port), args.timeout)
    verdicts = [with_identity(v) for v in found]
    seconds = time.monotonic() - start
    if args.json:
        print(json.dumps({"ports": verdicts, "timeout": args.timeout, "seconds": round(seconds, 3),
                          "interrupted": interrupted}, indent=2))
    elif not verdicts and not interrupted:
        print(NOTHING_FOUND)
    else:
        width = max((len(v["port"]) for v in verdicts), default=0)
        for verdict in verdicts:
            print(describe(verdict, width))
            for line in describe_identity(verdict):
                print(" " * (width + 2) + line)
    if interrupted:
        end_interrupted()
    return 0 if any(v["kind"] in DEVICES for v in verdicts) else 1
