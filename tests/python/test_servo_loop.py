"""ServoLoop from Python: ownership of the arm, effects, the watchdog, stopping on every path,
telemetry, and a spring on the simulator."""

import gc
import json
import os
import signal
import struct
import subprocess
import sys
import threading
import time
import warnings

import numpy
import pytest

import TavixHardwareAPI as api
from tavix_tools.devsim import DevSim
from fakedevice import floats

DRIVEN = "^Osmira is driven by a running ServoLoop$"
ZERO_FRAME = b"\x2a" + bytes(12)
CHILD = os.path.join(os.path.dirname(__file__), "servo_loop_child.py")


def state(*values):
    return b"\x2b" + floats(*values)


def frames(data):
    """The 13-byte force frames written, as force tuples; fails on any other byte."""
    assert len(data) % 13 == 0, data
    out = []
    for at in range(0, len(data), 13):
        assert data[at] == 0x2A, data[at:at + 13]
        out.append(struct.unpack("<3f", data[at + 1:at + 13]))
    return out


def wait_until(condition, limit=10.0):
    """Polls a condition of a running loop, bounded."""
    end = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < end, "condition not reached"
        time.sleep(0.002)


def test_other_calls_raise_before_any_byte_while_the_loop_drives(arm, device):
    device.send(state(0, 0, 0, 0, 0, 0) * 20)
    loop = api.ServoLoop(arm, max_force=1.0, watchdog_misses=10**6, reply_timeout=0.01)
    loop.add_constant_force([0.5, 0.0, 0.0])
    with loop:
        wait_until(lambda: loop.stats()["iterations"] >= 20)
        calls = [
            lambda: arm.end_effector_force([1, 2, 3]),
            lambda: arm.get_end_effector_position(),
            arm.get_temperature,  # holds the interpreter lock throughout
            arm.device_wakeup,
            lambda: arm.send_raw(b"\x55\x55"),
            lambda: arm.read_raw(4, 0.01),
            lambda: arm.set_read_timeout(9.0),
            arm.flush_input,
            lambda: arm.adjust_angles([0, 0, 0]),
            lambda: arm.adjust_gear_ratios(),
            lambda: arm.SendForce(1.0, 2.0, 3.0),
        ]
        for call in calls:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                with pytest.raises(RuntimeError, match=DRIVEN):
                    call()
        with pytest.raises(RuntimeError, match=DRIVEN):
            api.ServoLoop(arm, max_force=1.0).start()  # a second loop on the same arm
        assert loop.running
    assert not loop.running
    written = frames(device.received(13 * 22, timeout=0.5))
    assert written[-1] == (0.0, 0.0, 0.0)  # the last command
    assert written[1:21] == [(0.5, 0.0, 0.0)] * 20
    assert loop.stats()["stop_reason"] == "requested"

    arm.flush_input()  # forget the reply the silent tries were owed
    device.send(state(1, 2, 3, 4, 5, 6))
    assert arm.end_effector_force() == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])  # the arm is free again


def test_effect_table_refusals(arm):
    loop = api.ServoLoop(arm, max_force=1.0)
    with pytest.raises(ValueError, match="positive"):
        api.ServoLoop(arm, max_force=0.0)
    with pytest.raises(ValueError, match="finite"):
        loop.add_spring([0, 0, float("nan")], 10.0)
    with pytest.raises(ValueError, match="normal"):
        loop.add_wall([0, 0, 0], [0, 0, 0], 10.0)
    with pytest.raises(KeyError):
        loop.set_damping(12345, 1.0)
    ids = [loop.add_damping(1.0) for _ in range(16)]
    assert len(set(ids)) == 16
    with pytest.raises(RuntimeError, match="full"):
        loop.add_damping(1.0)
    loop.remove_effect(ids[0])
    with pytest.raises(KeyError):
        loop.remove_effect(ids[0])
    assert loop.add_constant_force((1, 2, 3)) not in ids  # ids are never reused


@pytest.mark.parametrize("option", [
    {"telemetry_size": 2**64 - 1}, {"telemetry_size": 0}, {"telemetry_size": 2**40},
    {"rate_hz": -1.0}, {"rate_hz": float("inf")}, {"rate_hz": float("nan")},
    {"reply_timeout": 0.0}, {"reply_timeout": float("inf")}, {"reply_timeout": float("nan")},
    {"watchdog_misses": 0},
    {"max_force": float("inf")}, {"max_force": float("nan")}, {"max_force": -1.0},
    {"ramp_seconds": float("inf")}, {"ramp_seconds": -0.5}, {"ramp_seconds": float("nan")},
    {"spin_seconds": float("nan")},
    {"priority": -1}, {"priority": 100}, {"cpu": -1}, {"cpu": 1 << 20},
])
def test_options_that_do_not_fit_are_refused(arm, option):
    name = next(iter(option))
    with pytest.raises(ValueError, match=name):
        api.ServoLoop(arm, **{"max_force": 1.0, **option})


def test_stats_say_what_scheduling_was_granted(arm, device):
    device.send(state(0, 0, 0, 0, 0, 0) * 10)
    last = max(os.sched_getaffinity(0))
    loop = api.ServoLoop(arm, max_force=1.0, rate_hz=1000.0, cpu=last, reply_timeout=0.01)
    assert (loop.stats()["priority"], loop.stats()["cpu"], loop.stats()["lock_memory"]) == (0, None, False)
    with loop:
        wait_until(lambda: loop.stats()["iterations"] >= 5)
    assert (loop.stats()["priority"], loop.stats()["cpu"], loop.stats()["lock_memory"]) == (0, last, False)


def threads_blocking(signum):
    """The ids of this process's threads that block `signum`."""
    found = set()
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/status") as status:
                blocked = next(int(line.split()[1], 16) for line in status if line.startswith("SigBlk:"))
        except FileNotFoundError:  # a thread that ended meanwhile
            continue
        if blocked >> (signum - 1) & 1:
            found.add(int(task))
    return found


def test_the_loop_thread_leaves_ctrl_c_to_the_program(arm, device):
    """A process-wide signal taken by the loop's thread would run its handler there, and an
    interpreter's main thread blocked in a lock would not see it until that wait ended."""
    device.send(state(0, 0, 0, 0, 0, 0) * 10)
    before = threads_blocking(signal.SIGINT)
    with api.ServoLoop(arm, max_force=1.0, rate_hz=1000.0, reply_timeout=0.01) as loop:
        wait_until(lambda: loop.stats()["iterations"] >= 1)
        assert len(threads_blocking(signal.SIGINT) - before) == 1


def test_effects_that_do_not_fit_are_refused(arm):
    loop = api.ServoLoop(arm, max_force=1.0)
    refused = [
        lambda: loop.add_spring([0, 0, 0], -10.0),
        lambda: loop.add_spring([0, 0, 0], 10.0, damping=-1.0),
        lambda: loop.add_damping(-1.0),
        lambda: loop.add_damping(float("inf")),
        lambda: loop.add_wall([0, 0, 0], [0, 0, 1], -10.0),
        lambda: loop.add_wall([0, 0, 0], [-1, 0, float("nan")], 10.0),
        lambda: loop.add_wall([0, 0, 0], [float("inf"), 0, 0], 10.0),
        lambda: loop.add_constant_force([0, float("inf"), 0]),
    ]
    for add in refused:
        with pytest.raises(ValueError):
            add()
    spring = loop.add_spring([0, 0, 0], 10.0)
    with pytest.raises(ValueError):
        loop.set_spring(spring, [0, 0, 0], -10.0)


@pytest.mark.parametrize("normal, stiffness", [([0, 0, 1], 1e22), ([0, 0, 1e-30], 1000.0)])
def test_a_huge_wall_force_is_clamped_not_dropped(arm, device, normal, stiffness):
    device.send(state(0, 0, -0.01, 0, 0, 0) * 3)  # 1 cm beyond the wall
    loop = api.ServoLoop(arm, max_force=2.0, watchdog_misses=2, reply_timeout=0.01)
    loop.add_wall([0, 0, 0], normal, stiffness)
    loop.start()
    wait_until(lambda: not loop.running)
    written = frames(device.received(13 * 6, timeout=0.5))
    # Zero before any state, then the clamped push (the last two tries unanswered), then zero.
    assert written == [(0.0, 0.0, 0.0)] + [(0.0, 0.0, 2.0)] * 4 + [(0.0, 0.0, 0.0)]


def test_start_waiting_for_another_threads_call_is_interrupted(device):
    arm = api.Osmira(api.SerialStream(device.path), 3.0)
    loop = api.ServoLoop(arm, max_force=1.0)
    other = threading.Thread(target=arm.end_effector_force, args=([0.0, 0.0, 0.0],))
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    other.start()  # holds the arm's line until its reply times out
    try:
        assert device.received(13)  # the other call is in progress
        start = time.monotonic()
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        with pytest.raises(KeyboardInterrupt):
            loop.start()
        assert time.monotonic() - start < 0.6
        assert not loop.running
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        other.join()


def run_child(*args):
    """servo_loop_child.py in a process of its own, killed when it hangs."""
    return subprocess.run([sys.executable, CHILD, *args], capture_output=True, text=True, timeout=100,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))


def test_start_and_stop_from_many_threads_at_once_all_return():
    child = run_child("races", "20")
    assert (child.returncode, child.stdout) == (0, "ok\n"), child.stderr


def test_a_forked_child_neither_joins_nor_writes():
    child = run_child("fork")
    assert child.returncode == 0, child.stderr
    seen = json.loads(child.stdout)
    assert seen.get("running_after_fork") is False, seen
    assert seen["stop_seconds"] < 0.1 and seen["running_after_stop"] is False
    assert seen["parent_last_frame"] == ZERO_FRAME.hex()
    assert seen["written_by_child"] == ""


def test_a_loop_kept_by_a_daemon_thread_is_stopped_with_zero_at_exit(device):
    child = subprocess.Popen([sys.executable, CHILD, "daemon-exit", device.path], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    written = b""
    end = time.monotonic() + 60
    while child.poll() is None and time.monotonic() < end:
        answered = len(written) // 13
        written += device.received(1, timeout=0.05)
        device.send(state(0, 0, 0, 0, 0, 0) * (len(written) // 13 - answered))  # the arm's replies
    out, err = child.communicate(timeout=10)
    written += device.received(0, timeout=0.2)
    assert (child.returncode, out) == (0, b"running\n"), err
    forces = frames(written)
    assert (0.0, 0.0, 1.5) in forces
    assert forces[-1] == (0.0, 0.0, 0.0)


def test_watchdog_stops_a_loop_on_a_silent_device_with_zero_last(arm, device):
    device.send(state(0.1, 0, 0, 0, 0, 0))
    loop = api.ServoLoop(arm, max_force=2.0, watchdog_misses=3, reply_timeout=0.01)
    loop.add_spring([0.0, 0.0, 0.0], 100.0)
    loop.start()
    wait_until(lambda: not loop.running)
    stats = loop.stats()
    assert (stats["stop_reason"], stats["missed_replies"], stats["iterations"]) == ("missed replies", 3, 4)
    written = frames(device.received(13 * 5, timeout=0.5))
    # Zero before any state, the spring's -10 clamped to the limit (three unanswered tries),
    # then the final zero.
    assert written == [(0.0, 0.0, 0.0)] + [(-2.0, 0.0, 0.0)] * 3 + [(0.0, 0.0, 0.0)]


def test_a_collected_loop_is_stopped_with_zero_force(arm, device):
    device.send(state(0, 0, 0, 0, 0, 0) * 5)
    loop = api.ServoLoop(arm, max_force=1.0, watchdog_misses=10**6, reply_timeout=0.01)
    loop.add_constant_force([0, 0, 0.25])
    loop.start()
    wait_until(lambda: loop.stats()["iterations"] >= 5)
    del loop
    gc.collect()
    assert frames(device.received(13 * 7, timeout=0.5))[-1] == (0.0, 0.0, 0.0)
    arm.set_read_timeout(0.2)  # no longer driven


def test_ctrl_c_inside_the_with_block_stops_the_loop(arm, device):
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    loop = api.ServoLoop(arm, max_force=1.0, watchdog_misses=10**6, reply_timeout=0.01)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            with loop:
                time.sleep(5)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert not loop.running
    assert loop.stats()["stop_reason"] == "requested"


def test_spring_holds_the_end_effector_on_the_simulator():
    with DevSim(arms=1, options=["--arm-faults", "drop=50"]) as sim:
        arm = api.Osmira(api.SerialStream(sim.arms[0]), 1.0)
        center = numpy.array(sim.workspace["center"])
        target = center + [0.02, -0.01, 0.0]
        with api.ServoLoop(arm, max_force=5.0, ramp_seconds=0.05, telemetry_size=500) as loop:
            loop.add_spring(target, 300.0, damping=3.0)

            copy = {}

            def held():
                # A copy made while the loop runs may lack a sample it overwrote meanwhile.
                copy.update(loop.telemetry())
                return len(copy["time"]) == 500 and numpy.all(
                    numpy.linalg.norm(copy["position"] - target, axis=1) < 0.002)

            wait_until(held)  # within 2 mm for 500 iterations in a row
            samples = copy
            stats = loop.stats()
        assert {k: v.shape for k, v in samples.items()} == {
            "time": (500,), "position": (500, 3), "velocity": (500, 3), "force": (500, 3),
            "round_trip": (500,), "replied": (500,)}
        assert numpy.all(numpy.diff(samples["time"]) > 0)
        assert numpy.all(numpy.linalg.norm(samples["force"], axis=1) <= 5.0 + 1e-5)
        # Every 50th answer is dropped: the loop counts it as missed and carries on.
        assert stats["missed_replies"] >= 1 and stats["stop_reason"] == "not stopped"
        assert 0 < stats["round_trip_p50"] <= stats["round_trip_p99"] <= stats["round_trip_max"]
        assert loop.stats()["stop_reason"] == "requested"


def test_a_pulled_cable_on_the_simulator_stops_the_loop():
    with DevSim(arms=1, options=["--arm-faults", "hangup=200"]) as sim:
        arm = api.Osmira(api.SerialStream(sim.arms[0]), 1.0)
        loop = api.ServoLoop(arm, max_force=1.0, watchdog_misses=10**6)
        loop.start()
        wait_until(lambda: not loop.running)
        stats = loop.stats()
        assert stats["stop_reason"] == "port closed"
        assert stats["iterations"] >= 200
