"""Every wait of the module ends soon after a Python signal handler raises, and the exception
leaves the call; the device stays usable and never takes a late reply for a new one."""

import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import TavixHardwareAPI as api
from fakedevice import floats
from test_discovery import ALL, discover, pytestmark as needs_private_dev

CHILD = os.path.join(os.path.dirname(__file__), "interrupt_child.py")
# The target is 20 ms; this bound only rules out a wait that ignores the signal (5 s or more).
BOUND = 0.5


def test_every_wait_ends_soon_after_a_handler_raises():
    child = subprocess.run([sys.executable, CHILD], capture_output=True, text=True, timeout=60,
                           env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert child.returncode == 0, child.stderr
    delays = json.loads(child.stdout)
    assert len(delays) == 12
    for wait, delay in delays.items():
        assert isinstance(delay, float) and 0 <= delay < BOUND, f"{wait}: {delay}"
    assert "timeout" not in child.stderr  # an interrupted wait prints no timeout line


@needs_private_dev
def test_an_interrupted_detect_call_stops_its_probe_and_raises():
    silent = [{"name": name, "reply": ""} for name in ("ttyACM0", "ttyUSB0", "rfcomm0")]
    findings = discover(silent, ALL, interrupt=0.3)
    for call in ALL:
        delay = findings["interrupt_delay"][call]
        assert delay is not None and delay < BOUND, f"{call}: {delay}"
        assert findings["threads_after"][call] == findings["threads_before"], f"{call} left its probe running"
        assert findings["seconds"][call] < 2.0  # a silent port costs 5 to 10 s when not interrupted


STATE = 0x2B


def state(value):
    return bytes([STATE]) + floats(*[value] * 6)


def interrupt_after(seconds, call):
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)


@pytest.fixture
def alarm_is_ctrl_c():
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    yield
    signal.signal(signal.SIGALRM, previous)


def test_after_an_interrupt_the_next_call_gets_the_reply_to_its_own_request(device, alarm_is_ctrl_c):
    arm = api.Osmira(api.SerialStream(device.path), 5.0)
    interrupt_after(0.1, lambda: arm.end_effector_force([1.0, 2.0, 3.0]))
    assert device.received(13) == b"\x2a" + floats(1.0, 2.0, 3.0)
    device.send(state(1.0))  # the interrupted request's reply, late
    device.send_after(0.05, state(2.0))  # the next request's
    assert arm.end_effector_force([0.0, 0.0, 0.0]) == ([2.0] * 3, [2.0] * 3)


def test_a_query_holding_the_lock_is_interrupted_too(device, alarm_is_ctrl_c):
    arm = api.Osmira(api.SerialStream(device.path), 5.0)
    start = time.monotonic()
    interrupt_after(0.1, arm.get_temperature)
    assert time.monotonic() - start < 1.0
    # The late reply, then the next one (sent ahead: the query keeps the lock, so no thread of
    # this process could answer while it waits).
    device.send(b"\xaa" + floats(99.0) + b"\xaa" + floats(25.0))
    assert arm.get_temperature() == 25.0


def test_a_call_waiting_for_another_threads_call_on_the_arm_is_interrupted_too(device, alarm_is_ctrl_c):
    arm = api.Osmira(api.SerialStream(device.path), 1.0)
    other = threading.Thread(target=arm.end_effector_force, args=([0.0, 0.0, 0.0],))
    other.start()  # holds the arm's line until its reply times out
    try:
        assert device.received(13)  # the other call is in progress
        start = time.monotonic()
        interrupt_after(0.1, arm.get_temperature)
        assert time.monotonic() - start < 0.1 + BOUND
    finally:
        other.join()
