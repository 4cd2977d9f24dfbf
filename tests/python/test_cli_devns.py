"""``tavix list`` and ``tavix doctor`` in a private /dev (see devns_child.py): every reason a
port is not usable, produced for real, and the probes of silent ports running side by side."""

import json
import os
import re
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
    # ttyACM2 is a pseudo-terminal of root's, mode 000: no chmod or group would let nobody in.
    assert "/dev/ttyACM2: permission denied for nobody" in report
    assert "fix: a pseudo-terminal belongs to the user who made it (root)" in report
    assert "chmod" not in report and "-aG root" not in report and "udev" not in report
    assert "/dev/ttyACM0: nothing in the way" in report
    assert held["returncode"] == 1
    assert f"/dev/ttyUSB2: open in another program: pid {holders['ttyUSB2']} (" in held["stdout"]
    assert f"fix: if that program is not meant to use the port, end it (kill {holders['ttyUSB2']})" in held["stdout"]
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


def serial_group_of_this_host():
    with open("/etc/os-release") as release:
        family = " ".join(line for line in release if line.startswith(("ID=", "ID_LIKE=")))
    return "dialout" if "debian" in family else "uucp"


def fake_usb_sysfs(root, name, device, attributes):
    """A sysfs tree with one USB serial adapter whose port ``name`` is character device
    ``device`` (major, minor), laid out as the kernel lays it out: the device number leads to
    the port's directory below the USB interface, below the USB device with ``attributes``."""
    usb = root / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / "1-2"
    interface = usb / "1-2:1.0"
    port = interface / name / "tty" / name
    port.mkdir(parents=True)
    (root / "class" / "tty").mkdir(parents=True)
    (port / "subsystem").symlink_to(os.path.relpath(root / "class" / "tty", port))
    for key, value in attributes.items():
        (usb / key).write_text(value + "\n")
    (interface / "interface").write_text("Serial Port\n")
    (root / "dev" / "char").mkdir(parents=True)
    (root / "dev" / "char" / f"{device[0]}:{device[1]}").symlink_to(os.path.relpath(port, root / "dev" / "char"))
    return root


BY_ID = "usb-FTDI_FT232R_USB_UART_A10K7X2B-if00-port0"


def test_doctor_and_list_on_a_usb_adapter_root_keeps_to_itself(tmp_path):
    sysfs = fake_usb_sysfs(tmp_path / "sys", "ttyUSB5", (188, 5), {
        "idVendor": "0403", "idProduct": "6001", "serial": "A10K7X2B", "manufacturer": "FTDI",
        "product": "FT232R USB UART"})
    nodes = [{"name": "ttyUSB5", "device": [188, 5], "mode": "000"},
             {"name": "ttyUSB10", "device": [188, 10], "mode": "000"},
             {"name": f"serial/by-id/{BY_ID}", "symlink": "../../ttyUSB5"},
             {"name": "null", "device": [1, 3], "mode": "666"}]
    findings = discover(nodes, calls=[], sysfs=str(sysfs), commands=[
        {"argv": command("doctor", "/dev/ttyUSB5"), "uid": NOBODY},
        {"argv": command("doctor", "null"), "uid": NOBODY},
        {"argv": command("list", "--json", "--timeout", "0.2")},
        {"argv": command("list", "--timeout", "0.2")},
        {"argv": command("info", "ttyUSB5")}])  # a bare name: the node under /dev
    doctor, null, listing, text, info = findings["commands"]
    group = serial_group_of_this_host()
    assert doctor["returncode"] == 1 and "Traceback" not in doctor["stderr"]
    assert "/dev/ttyUSB5: permission denied for nobody" in doctor["stdout"]
    rule = f'SUBSYSTEM=="tty", ATTRS{{idVendor}}=="0403", ATTRS{{idProduct}}=="6001", GROUP="{group}", MODE="0660"'
    assert (f"  fix: echo '{rule}' | sudo tee -a /etc/udev/rules.d/70-tavix.rules; sudo udevadm control --reload && "
            f"sudo udevadm trigger (or plug the device in again); sudo usermod -aG {group} nobody, then log out "
            "and in again\n") in doctor["stdout"]
    assert "chmod" not in doctor["stdout"] and "-aG root" not in doctor["stdout"]
    assert "real-time priority: not available to nobody" in doctor["stdout"]
    assert "'@realtime - rtprio 99' and '@realtime - memlock unlimited'" in doctor["stdout"]
    assert null["returncode"] == 1
    assert null["stdout"].splitlines()[0] == "/dev/null is not a terminal (character device 1,3)"
    assert "kill" not in null["stdout"]
    ports = json.loads(listing["stdout"])["ports"]
    assert [p["port"] for p in ports] == ["/dev/ttyUSB5", "/dev/ttyUSB10"]
    assert ports[0]["usb"] == {"vendor_id": "0403", "product_id": "6001", "serial": "A10K7X2B",
                               "manufacturer": "FTDI", "product": "FT232R USB UART", "interface": "Serial Port"}
    assert ports[0]["by_id"] == [BY_ID] and (ports[1]["usb"], ports[1]["by_id"]) == (None, [])
    assert (f"usb 0403:6001 FTDI FT232R USB UART, serial A10K7X2B, interface Serial Port\n"
            f"{' ' * 15}by-id {BY_ID}\n") in text["stdout"]
    assert (info["returncode"], info["stderr"]) == (1, "tavix info: /dev/ttyUSB5: cannot open: No such device or address\n")


def test_with_no_ports_list_says_how_to_give_one_and_doctor_looks_at_the_host():
    kernel_log = {"name": "kmsg", "device": [1, 11], "mode": "644"}
    findings = discover([kernel_log], calls=[], commands=[{"argv": command("list"), "uid": NOBODY},
                                                {"argv": command("doctor"), "uid": NOBODY},
                                                {"argv": command("doctor")}])
    listing, doctor, as_root = findings["commands"]
    assert listing["returncode"] == 1
    assert "tavix list --port PATH" in listing["stdout"] and "start tavix sim" in listing["stdout"]
    group = serial_group_of_this_host()
    assert doctor["returncode"] == 1, doctor["stdout"]
    assert (f"nobody: not in group {group}, which serial ports get here\n  groups in this session: nogroup\n"
            f"  fix: sudo usermod -aG {group} nobody, then log out and in again\n") in doctor["stdout"]
    assert doctor["stdout"].splitlines()[-2].startswith("real-time priority: not available to nobody")
    with open("/proc/sys/kernel/dmesg_restrict") as restrict:
        if restrict.read().strip() == "1":  # the kernel's log is root's: left out without a word
            assert "kernel:" not in doctor["stdout"]
    # Root may read it: what it says about serial devices, or that it says nothing.
    assert re.search(r"^kernel: (no recent messages about USB serial devices|the latest messages about serial "
                     r"devices:\n(  \[ *\d+\.\d{6}\] .*\n)+)", as_root["stdout"], re.M), as_root["stdout"]
    assert "nobody" not in as_root["stdout"] and "group" not in as_root["stdout"]
