"""ServoLoop from Python: ownership of the arm, effects, the watchdog, stopping on every path,
telemetry, and a spring on the simulator."""

import gc
import signal
import struct
import time
import warnings

import numpy
import pytest

import TavixHardwareAPI as api
from tavix_tools.devsim import DevSim
from fakedevice import floats

DRIVEN = "^Osmira is driven by a running ServoLoop$"
ZERO_FRAME = b"\x2a" + bytes(12)


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
