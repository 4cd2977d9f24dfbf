"""The library's probe from Python: its verdicts, its cost on a silent port, Ctrl-C in
``tavix list`` while one port is silent, and a port held by another process."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import TavixHardwareAPI as api
from fakedevice import FakeDevice
from tavix_cli import command, environment

ARM_IDENTITY = b"\x0b\x34\x12\x04\x02\x07" + bytes(range(16))


@pytest.fixture
def silent():
    fake = FakeDevice()
    yield fake
    fake.close()


def test_verdicts_of_an_arm_a_foreign_device_and_a_missing_port(device, tmp_path):
    device.send(ARM_IDENTITY)
    arm = api.probe_port(device.path, 0.5)
    assert device.received(1) == b"\x0a"
    assert (arm["kind"], arm["port"], arm["reason"], arm["errno"], arm["answer"]) == ("arm", device.path, "", 0, b"")
    assert arm["identity"] == {"device_id": 0x1234, "model": 4, "hardware_version": 2, "firmware_version": 7,
                               "uuid": "00010203-0405-0607-0809-0a0b0c0d0e0f"}
    device.send(b"Hello")
    assert api.probe_port(device.path, 0.5)["answer"] == b"Hello"
    missing = api.probe_port(str(tmp_path / "rfcomm0"), 0.5)
    assert (missing["kind"], missing["link"], missing["errno"]) == ("unopenable", "wireless", 2)
    with pytest.raises(ValueError):
        api.probe_port(device.path, 0)
    assert [kind for _path, kind in api.scan_serial_ports()] == [
        api.port_kind_of_name(os.path.basename(path)) for path, _kind in api.scan_serial_ports()]


def run_python(source, *args):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(source), *args], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, env=environment())


def test_a_silent_port_costs_its_time_but_little_processor(silent):
    child = run_python("""
        import resource, sys, time
        import TavixHardwareAPI as api
        before, start = resource.getrusage(resource.RUSAGE_SELF), time.monotonic()
        verdict = api.probe_port(sys.argv[1], 2.0)
        after, wall = resource.getrusage(resource.RUSAGE_SELF), time.monotonic() - start
        cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
        print(verdict["kind"], wall, cpu)
        """, silent.path)
    out, _ = child.communicate(timeout=30)
    assert child.returncode == 0
    kind, wall, cpu = out.split()
    assert kind == "silent" and 2.0 <= float(wall) < 3.0
    assert float(cpu) < 0.2 * float(wall), out


def test_a_signal_handler_that_raises_ends_a_probe_at_once(silent):
    child = run_python("""
        import signal, sys, time
        import TavixHardwareAPI as api
        def stop(*_):
            raise TimeoutError
        signal.signal(signal.SIGALRM, stop)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        start = time.monotonic()
        try:
            api.probe_port(sys.argv[1], 20.0)
        except TimeoutError:
            print(time.monotonic() - start)
        """, silent.path)
    out, _ = child.communicate(timeout=30)
    assert 0.2 <= float(out) < 0.3, out


def holds(pid, path):
    """Whether process ``pid`` has a descriptor open on the device node ``path``."""
    device = os.stat(path).st_rdev
    fds = f"/proc/{pid}/fd"
    for fd in os.listdir(fds):
        try:
            if os.stat(os.path.join(fds, fd)).st_rdev == device:
                return True
        except OSError:  # closed meanwhile
            pass
    return False


def test_ctrl_c_ends_a_listing_at_once_with_the_verdicts_it_has(device, silent):
    device.send(ARM_IDENTITY)  # waiting before the wake-up: answered at once
    listing = subprocess.Popen(command("list", "--json", "--timeout", "20", "--port", device.path,
                                       "--port", silent.path),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=environment())
    try:
        # Ready: both ports were woken, and the arm's probe has let go of its port.
        assert silent.received(1, timeout=20) == b"\x0a"
        assert device.received(1, timeout=20) == b"\x0a"
        deadline = time.monotonic() + 20
        while holds(listing.pid, device.path) and time.monotonic() < deadline:
            silent.received(0, timeout=0.001)
        sent = time.monotonic()
        listing.send_signal(signal.SIGINT)
        out, err = listing.communicate(timeout=10)
        ended = time.monotonic() - sent
    finally:
        listing.kill()
        listing.wait()
    assert listing.returncode == 130, err
    found = json.loads(out)
    assert found["interrupted"] is True
    assert [(v["port"], v["kind"]) for v in found["ports"]] == [(device.path, "arm")]
    assert ended < 0.5, ended


def test_a_port_held_by_another_process_is_busy_and_left_alone(device):
    holder = run_python("""
        import sys
        import TavixHardwareAPI as api
        stream = api.SerialStream(sys.argv[1])
        print(stream.is_open, flush=True)
        sys.stdin.read()
        """, device.path)
    try:
        assert holder.stdout.readline() == "True\n"
        run = subprocess.run(command("list", "--json", "--port", device.path), capture_output=True, text=True,
                             timeout=30, env=environment())
    finally:
        holder.communicate(timeout=10)
    verdict = json.loads(run.stdout)["ports"][-1]
    assert (verdict["port"], verdict["kind"], verdict["errno"]) == (device.path, "busy", 16)
    assert verdict["detail"].startswith(f"busy: held by another program, pid {holder.pid} (")
    assert device.received(0, timeout=0.05) == b""
