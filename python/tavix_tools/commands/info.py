"""``tavix info PORT``: what the device on one port reports about itself.

Sends only queries: the wake-up, the arm's identifier, power and temperature queries and one
exchange at zero force for its position; nothing to a handle beyond the wake-up (its status
is one of the frames it streams by itself).
"""

import json
import sys

from tavix_tools.device import load_api, open_device
from tavix_tools.libstderr import LibraryErrors

NAME = "info"
HELP = "show what the arm or handle on a port reports"
ORDER = 20
IDENTITY_KEYS = ("device_id", "model", "hardware_version", "firmware_version")
HOLDRA_FAILURES = {99: "nothing arrived", 3: "no complete frame", 2: "a header read failed"}


def add_arguments(parser):
    parser.add_argument("port", metavar="PORT", help="the device's port, e.g. /dev/ttyACM0")
    parser.add_argument("--json", action="store_true", help="one JSON document on standard output")


def arm_report(line, verdict):
    arm = line.raw
    unanswered = []

    def ask(name, call):
        # A query the arm did not answer gives zeros: they are no values of the arm's.
        value = call()
        if not arm.last_call_ok:
            unanswered.append(name)
        return value

    position, velocity = ask("position", lambda: arm.get_end_effector_position(True))
    return {"identity": {key: verdict["identity"][key] for key in (*IDENTITY_KEYS, "uuid")},
            "device_identifier": str(ask("device identifier", arm.get_device_id)),
            "firmware_identifier": str(ask("firmware identifier", arm.get_firmware_version)),
            "powered": ask("power status", arm.get_power_status),
            "temperature": round(ask("temperature", arm.get_temperature), 3),
            "position": position, "velocity": velocity, "unanswered": unanswered}


def handle_report(line, verdict):
    status = load_api().Handle(line.stream).GetHoldraStatus()
    identity = verdict["identity"] or {}
    return {"link": verdict["link"], "information": {key: identity.get(key) for key in IDENTITY_KEYS},
            "status": status}


def print_arm(report):
    identity = report["identity"]
    print(f"arm on {report['port']}")
    print(f"  device id {identity['device_id']}, model {identity['model']}, "
          f"hardware {identity['hardware_version']}, firmware {identity['firmware_version']}")
    print(f"  identity record uuid  {identity['uuid']}")
    print(f"  device identifier     {report['device_identifier']}")
    print(f"  firmware identifier   {report['firmware_identifier']}")
    print(f"  powered {report['powered']}, temperature {report['temperature']:.1f} C")
    print("  position  [" + ", ".join(f"{1000 * v:+8.3f}" for v in report["position"]) + "] mm")
    print("  velocity  [" + ", ".join(f"{1000 * v:+8.3f}" for v in report["velocity"]) + "] mm/s")
    if report["unanswered"]:
        print(f"  not answered (shown as zeros): {', '.join(report['unanswered'])}")


def print_handle(report):
    information, status = report["information"], report["status"]
    print(f"handle on {report['port']} ({report['link']})")
    if information["model"] is None:
        print(f"  device id {information['device_id']} (no information message, only its status)")
    else:
        print(f"  device id {information['device_id']}, model {information['model']}, "
              f"hardware {information['hardware_version']}, firmware {information['firmware_version']}")
    if status["error_flag"]:
        flag = status["error_flag"]
        print(f"  status: none ({HOLDRA_FAILURES.get(flag, 'error flag')} {flag})")
        return
    print("  orientation (quaternion) [" + ", ".join(f"{q:+.4f}" for q in status["quaternion"]) + "]")
    print(f"  buttons {status['buttons']:03b}, hall-effect level {status['hall_effect_sensor_level']}, "
          f"battery {status['battery_level']:.3f} V")


def run(args):
    line, verdict = open_device(args.port)
    kind = verdict["kind"]
    with LibraryErrors() as errors:
        report = {"port": verdict["port"], "kind": kind,
                  **(arm_report if kind == "arm" else handle_report)(line, verdict)}
    report["errors"] = errors.new_lines()
    line.close()
    if args.json:
        print(json.dumps(report, indent=2))
    else:
        (print_arm if kind == "arm" else print_handle)(report)
        for error in report["errors"]:
            print(f"tavix info: {error}", file=sys.stderr)
    failed = report["errors"] or report.get("unanswered") or report.get("status", {}).get("error_flag")
    return 1 if failed else 0
