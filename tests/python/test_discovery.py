"""Discovery against a private /dev: every scenario runs in a child process with its own
mount namespace, where fake devices on pseudo-terminals sit behind serial-port names."""

import json
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

import TavixHardwareAPI as api

CHILD = os.path.join(os.path.dirname(__file__), "devns_child.py")
ALL = ["detect_osmiras", "detect_handles", "detect_wired_handles", "detect_wireless_handles"]


def arm_reply(model=4, payload_length=21):
    record = bytes([0x34, 0x12, model, 2, 7]) + bytes(range(16))
    return (b"\x0b" + record[:payload_length]).hex()


HANDLE_INFO = (b"\xd0" + bytes([0, 0x34, 0x12, 2, 3, 4])).hex()
HANDLE_STATUS = (b"\xda" + bytes(20) + b"\x00").hex()
HANDLE_ERROR = (b"\xdf\x07\x00\x2a").hex()


def _namespaces_allowed():
    if shutil.which("unshare") is None or os.geteuid() != 0:
        return False
    return subprocess.run(["unshare", "-m", "true"], capture_output=True, timeout=10).returncode == 0


pytestmark = pytest.mark.skipif(not _namespaces_allowed(), reason="needs root and unshare -m for a private /dev")


def discover(nodes, calls=ALL, commands=(), **options):
    """Runs the detect functions ``calls`` and the programs ``commands`` (see devns_child)
    in a private /dev with ``nodes``; gives the child's findings. ``options`` go into the
    scenario as they are (for example interrupt=S)."""
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        scenario = json.dumps({"nodes": nodes, "calls": calls, "commands": list(commands), **options})
        child = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable, CHILD, scenario, out.name],
                               capture_output=True, text=True, timeout=60,
                               env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
        assert child.returncode == 0, child.stderr
        with open(out.name) as written:
            findings = json.load(written)
    findings["stdout"], findings["stderr"] = child.stdout, child.stderr
    for call in calls:
        assert findings["leaked_fds"][call] == [], f"{call} left ports open"
    return findings


def test_signatures_and_docstrings():
    for name, doc in zip(ALL, ["detect available osmira devices", "detect available handles",
                               "detect available wired handles", "detect available wireless handles"]):
        assert getattr(api, name).__doc__ == f"{name}() -> list[str]\n\n{doc}\n"


def test_no_candidates_means_empty_lists_and_nothing_opened():
    nodes = [{"name": "ttyS0"}, {"name": "tty1"}, {"name": "null"}, {"name": "serial", "directory": True}]
    findings = discover(nodes)
    assert findings["results"] == {call: [] for call in ALL}


def test_arms_are_told_by_their_identity_record():
    nodes = [{"name": "ttyACM0", "reply": arm_reply()},
             {"name": "ttyACM1", "reply": arm_reply(model=3)},
             {"name": "ttyUSB3", "reply": arm_reply()},
             {"name": "rfcomm0", "reply": arm_reply()}]
    findings = discover(nodes, ["detect_osmiras"])
    assert findings["results"]["detect_osmiras"] == ["/dev/ttyACM0"]
    assert bytes.fromhex(findings["received"]["ttyACM0"]) == b"\x0a"  # one wake-up byte
    assert findings["received"]["ttyUSB3"] == findings["received"]["rfcomm0"] == ""  # never probed


def test_a_short_identity_record_is_not_an_arm():
    findings = discover([{"name": "ttyACM0", "reply": arm_reply(payload_length=20)}], ["detect_osmiras"])
    assert findings["results"]["detect_osmiras"] == []
    assert "timeout waiting for bytes" in findings["stderr"]


def test_handles_by_link_kind():
    nodes = [{"name": "ttyUSB0", "reply": HANDLE_INFO},
             {"name": "rfcomm1", "reply": HANDLE_STATUS},
             {"name": "ttyACM2", "reply": HANDLE_INFO},
             {"name": "ttyUSB1", "reply": HANDLE_ERROR},
             {"name": "my-ttyUSB-ttyACM", "reply": HANDLE_STATUS}]
    findings = discover(nodes, ["detect_handles", "detect_wired_handles", "detect_wireless_handles"])
    listed = [os.path.join("/dev", name) for name in findings["listing"]]
    answering = {"/dev/ttyUSB0", "/dev/rfcomm1", "/dev/ttyACM2", "/dev/my-ttyUSB-ttyACM"}
    assert findings["results"]["detect_handles"] == [p for p in listed if p in answering]  # scan order
    assert findings["results"]["detect_wired_handles"] == ["/dev/ttyUSB0"]
    assert findings["results"]["detect_wireless_handles"] == ["/dev/rfcomm1"]


def test_scan_order_is_the_listing_order():
    # tmpfs lists the newest entry first here, so ttyACM1 comes before ttyACM0: not name order.
    nodes = [{"name": "ttyACM0", "reply": arm_reply()}, {"name": "ttyACM1", "reply": arm_reply()}]
    findings = discover(nodes, ["detect_osmiras"])
    listed = [os.path.join("/dev", name) for name in findings["listing"] if name.startswith("ttyACM")]
    assert findings["results"]["detect_osmiras"] == listed
    assert sorted(listed) == ["/dev/ttyACM0", "/dev/ttyACM1"]


def test_a_late_answer_does_not_count_but_is_waited_for_with_the_lock_held():
    findings = discover([{"name": "ttyACM0", "reply": arm_reply(), "delay": 3.5}], ["detect_osmiras"])
    assert findings["results"]["detect_osmiras"] == []
    assert findings["seconds"]["detect_osmiras"] >= 3.5  # the probe ended before the call returned
    assert findings["ticks"]["detect_osmiras"] == 0  # no other Python thread ran meanwhile
