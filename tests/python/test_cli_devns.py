"""``tavix list`` and ``tavix doctor`` in a private /dev (see devns_child.py): every reason a
port is not usable, produced for real, and the probes of silent ports running side by side."""

import json
import os
import shutil
import subprocess

import pytest

from tavix_cli import command, tavix
from test_discovery import HANDLE_INFO, HANDLE_STATUS, _namespaces_allowed, arm_reply, discover

NOBODY = 65534
DIALOUT = 20
ABSENT = "/dev/ttyACM9"

pytestmark = pytest.mark.skipif(not _namespaces_allowed(), reason="needs root and unshare -m for a private /dev")


def port(name, reply="", **options):
    return {"name": name, "reply": reply, "mode": "666", **options}


def run_in_private_dev(nodes, *commands):
    """The outcomes of ``commands`` ({"argv": ..., "uid": ...}) run in a private /dev."""
    findings = discover(nodes, calls=[], commands=commands)
    return findings["commands"], findings["holders"]


def verdicts_of(outcome):
    return {entry["port"]: entry for entry in json.loads(outcome["stdout"])["ports"]}


SCENARIO = [port("ttyACM0", arm_reply()), port("ttyUSB0", HANDLE_INFO), port("rfcomm0", HANDLE_STATUS),
            port("ttyACM1"), port("ttyUSB1", b"Hello".hex()), port("ttyACM2", mode="000"),
            port("ttyUSB2", held=True), port("ttyACM3", mode="660", group=DIALOUT),
            port("rfcomm-ttyUSB5", HANDLE_INFO)]  # ttyUSB is looked for before rfcomm: wired


@pytest.fixture(scope="module")
def scenario_outcomes():
    return run_in_private_dev(
        SCENARIO,
        {"argv": command("list", "--json", "--timeout", "0.5", "--port", ABSENT), "uid": NOBODY},
        {"argv": command("doctor"), "uid": NOBODY},
        {"argv": command("doctor", "/dev/ttyUSB2")},
        {"argv": command("doctor", "/dev/ttyACM0")},
        {"argv": command("doctor", ABSENT)})


def test_list_gives_every_reason(scenario_outcomes):
    (listing, *_), _ = scenario_outcomes
    assert listing["returncode"] == 0, listing["stderr"]
    found = verdicts_of(listing)
    assert found["/dev/ttyACM0"]["kind"] == "arm"
    assert (found["/dev/ttyUSB0"]["kind"], found["/dev/ttyUSB0"]["link"]) == ("handle", "wired")
    assert (found["/dev/rfcomm0"]["kind"], found["/dev/rfcomm0"]["link"]) == ("handle", "wireless")
    assert found["/dev/rfcomm-ttyUSB5"]["link"] == "wired"
    reasons = {path: (v["kind"], v["detail"]) for path, v in found.items() if v["kind"] not in ("arm", "handle")}
    holder = reasons.pop("/dev/ttyUSB2")
    assert reasons == {
        "/dev/ttyACM1": ("silent", "no answer within 0.5 s"),
        "/dev/ttyUSB1": ("unknown", 'answered as something else: 48 65 6c 6c 6f ("Hello")'),
        "/dev/ttyACM2": ("unopenable", "cannot open: Permission denied"),
        "/dev/ttyACM3": ("unopenable", "cannot open: Permission denied"),
        ABSENT: ("unopenable", "cannot open: No such file or directory")}
    assert holder[0] == "busy" and holder[1].startswith("busy: held by another program")
    assert "Traceback" not in listing["stderr"]


def test_doctor_names_the_fix_for_each_obstacle(scenario_outcomes):
    (_, unprivileged, held, clean, absent), holders = scenario_outcomes
    assert unprivileged["returncode"] == 1
    report = unprivileged["stdout"]
    assert "/dev/ttyACM3: permission denied for nobody" in report
    assert "owner root, group dialout, mode crw-rw----; nobody is not in group dialout" in report
    assert "fix: sudo usermod -aG dialout nobody, then log out and in again" in report
    assert "/dev/ttyACM2: permission denied for nobody" in report and "fix: sudo chmod 660 /dev/ttyACM2" in report
    assert "/dev/ttyACM0: nothing in the way" in report
    assert held["returncode"] == 1
    assert f"/dev/ttyUSB2: open in another program: pid {holders['ttyUSB2']} (" in held["stdout"]
    assert f"fix: end that program (kill {holders['ttyUSB2']})" in held["stdout"]
    assert "/dev/ttyACM0: nothing in the way" in clean["stdout"]
    if not host_services():
        assert clean["returncode"] == 0, clean["stdout"]
    assert absent["returncode"] == 1 and f"{ABSENT}: does not exist" in absent["stdout"]


def host_services():
    """Whether ModemManager or brltty runs on this host (doctor then rightly exits 1)."""
    names = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/comm") as comm:
                names.add(comm.read().strip())
        except OSError:  # ended meanwhile
            pass
    return names & {"ModemManager", "brltty"}


def test_doctor_points_at_modemmanager_and_brltty(tmp_path):
    sleeper = shutil.which("sleep")
    services = []
    try:
        for name in ("ModemManager", "brltty"):
            shutil.copy(sleeper, tmp_path / name)
            services.append(subprocess.Popen([str(tmp_path / name), "60"]))
        run = tavix("doctor", "/dev/ttyUSB7")
    finally:
        for service in services:
            service.kill()
            service.wait()
    assert run.returncode == 1
    assert f"ModemManager: is running (pid {services[0].pid})" in run.stdout
    assert "fix: sudo systemctl stop ModemManager (to keep it off: sudo systemctl mask ModemManager)" in run.stdout
    assert f"brltty: is running (pid {services[1].pid})" in run.stdout
    assert "sudo systemctl mask brltty-udev.service brltty.service" in run.stdout


def test_silent_ports_are_probed_side_by_side():
    timeout = 1.0
    nodes = [port(f"ttyACM{i}") for i in range(8)]
    (listing,), _ = run_in_private_dev(nodes, {"argv": command("list", "--json", "--timeout", str(timeout))})
    assert listing["returncode"] == 1
    found = json.loads(listing["stdout"])
    assert [v["kind"] for v in found["ports"]] == ["silent"] * 8
    # One after the other they would take eight timeouts; a loose bound that only that fails.
    assert found["seconds"] < 4 * timeout, found
