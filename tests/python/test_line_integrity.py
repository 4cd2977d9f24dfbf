"""Every answer belongs to its request: late replies, split calls, servo-loop misses and stops,
one port seen through several objects, other processes, signal handlers and dead lines.

The arm is a scripted pseudo-terminal (fakedevice.Responder) that numbers its answers and echoes
each request's values, so that a test can tell which request an answer belongs to.
"""

import errno
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import TavixHardwareAPI as api
from fakedevice import FakeDevice, Responder, floats

ZEROS = ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])


def own_answer(n, request):
    """What the responder answers to its n-th request carrying ``request``."""
    return ([float(n), 0.0, 0.0], [float(v) for v in request])


def test_a_late_reply_is_never_taken_as_a_later_answer(device, capfd):
    arm = api.Osmira(api.SerialStream(device.path), 0.02)
    responder = Responder(device, delays={10: 0.03})  # the tenth answer comes 30 ms late
    try:
        answers = [arm.end_effector_force([i, 0.5, 0.25]) for i in range(1, 101)]
    finally:
        responder.stop()
    wrong = [i for i, got in enumerate(answers, 1) if got not in (own_answer(i, [i, 0.5, 0.25]), ZEROS)]
    assert wrong == []
    assert answers[9] == ZEROS
    assert sum(got == ZEROS for got in answers) == 1
    assert "timeout waiting for" in capfd.readouterr().err


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_split_calls_pair_up_in_order_and_an_exchange_skips_what_they_left(device):
    arm = api.Osmira(api.SerialStream(device.path), 0.5)
    responder = Responder(device)
    try:
        for i in (1, 2, 3):
            arm.SendAngle([i, 0, 0])
        for i in (1, 2):
            assert arm.ReceiveJointState() == own_answer(i, [i, 0, 0])
        # The third reply was asked for and never read: the next exchange skips it.
        assert arm.joint_angles([7, 7, 7]) == own_answer(4, [7, 7, 7])
        assert arm.last_call_ok
    finally:
        responder.stop()


def test_a_wrong_code_reply_put_back_loses_no_byte(device, capfd):
    arm = api.Osmira(api.SerialStream(device.path), 0.05)
    device.send(b"\x1b" + bytes(range(1, 25)))  # a joint state where the force's state was due
    assert arm.end_effector_force() == ZEROS
    assert not arm.get_power_status()  # the payload's first byte is no power status code
    assert not arm.last_call_ok
    err = capfd.readouterr().err
    assert "unexpected reply code 0x1b where 0x2b was due" in err
    assert "unexpected reply code 0x01 where 0xac was due" in err
    assert arm.read_raw(64, 0.05) == bytes(range(2, 25))  # every byte after the one taken as a code


def test_the_loop_marks_replied_only_its_own_answers_and_leaves_the_line_in_step(device):
    arm = api.Osmira(api.SerialStream(device.path), 1.0)
    # One answer late by one and a half reply timeouts, one by five: the second is given up on
    # and comes while others are asked.
    responder = Responder(device, delays={30: 0.075, 150: 0.25})
    loop = api.ServoLoop(arm, max_force=10.0, ramp_seconds=1000.0, reply_timeout=0.05, watchdog_misses=10**6,
                         telemetry_size=4096)
    loop.add_constant_force([10.0, 0.0, 0.0])  # ramped: every iteration commands another force
    try:
        with loop:
            deadline = time.monotonic() + 10
            while loop.stats()["iterations"] < 400 and time.monotonic() < deadline:
                time.sleep(0.005)
        samples = loop.telemetry()
    finally:
        responder.stop()
    replied = samples["replied"]
    assert replied.sum() >= 350 and not replied.all()
    # The velocity is the echo of the force that was sent: only a request's own answer matches.
    # A reply later than twice the reply timeout cannot be told from a lost one: the answers
    # taken for another request are only those around it, and after it the loop is in step.
    own = (samples["velocity"][replied] == samples["force"][replied]).all(axis=1)
    answered = samples["position"][replied][:, 0]  # the number of the request each answer was to
    assert ((answered[~own] >= 150) & (answered[~own] <= 160)).all(), answered[~own]
    assert own[-200:].all()


def test_after_a_stop_with_replies_outstanding_the_next_call_gets_its_own_answer(device):
    arm = api.Osmira(api.SerialStream(device.path), 2.0)
    responder = Responder(device, default_delay=0.06)  # every answer 60 ms after its request
    try:
        loop = api.ServoLoop(arm, max_force=1.0, reply_timeout=0.01, watchdog_misses=10**6)
        loop.add_constant_force([0.5, 0.0, 0.0])
        with loop:
            time.sleep(0.1)
        answers = [arm.end_effector_force([i, 1.0, 2.0]) for i in range(5)]
        # Each call's own echo, answered by requests one after another.
        assert [velocity for _, velocity in answers] == [[float(i), 1.0, 2.0] for i in range(5)]
        numbers = [position[0] for position, _ in answers]
        assert numbers == [numbers[0] + i for i in range(5)]
    finally:
        responder.stop()


def test_ownership_is_the_ports_whatever_object_or_stream_asks(device):
    stream = api.SerialStream(device.path)
    arm = api.Osmira(stream, 0.5)
    responder = Responder(device)
    try:
        loop = api.ServoLoop(arm, max_force=1.0, watchdog_misses=10**6)
        with loop:
            second = api.Osmira(api.SerialStream(device.path), 0.5)  # another stream on the same port
            for other in (second, api.Osmira(api.SerialStream(device.path), 0.5)):
                with pytest.raises(RuntimeError, match="^Osmira is driven by a running ServoLoop$"):
                    other.end_effector_force([1, 1, 1])
                with pytest.raises(RuntimeError, match="^Osmira is driven by a running ServoLoop$"):
                    other.get_temperature()
                with pytest.raises(RuntimeError, match="^Osmira is driven by a running ServoLoop$"):
                    api.ServoLoop(other, max_force=1.0).start()
            with pytest.raises(RuntimeError, match="^Osmira is driven by a running ServoLoop$"):
                stream.close()  # the loop could no longer take its force back
        samples = loop.telemetry()
        # Nothing of theirs got onto the line: every answer the loop took was its own.
        replied = samples["replied"]
        assert (samples["velocity"][replied] == samples["force"][replied]).all()
        assert second.end_effector_force([3, 2, 1])[1] == [3.0, 2.0, 1.0]  # free again
    finally:
        responder.stop()


HOLDER = """
import sys, time
sys.path[:0] = {path!r}
import TavixHardwareAPI as api
stream = api.SerialStream({port!r})
print(stream.is_open, flush=True)
time.sleep(30)
"""


def test_a_port_held_by_another_process_is_refused_as_busy(device, capfd):
    holder = subprocess.Popen([sys.executable, "-c", HOLDER.format(path=sys.path, port=device.path)],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "True"
        stream = api.SerialStream(device.path)
        assert (stream.is_open, stream.open_error) == (False, errno.EBUSY)
        assert capfd.readouterr().err == (f"[err] Library/src/SerialStream:38> unable to open port '{device.path}': "
                                          "[16] Device or resource busy\n")
    finally:
        holder.kill()
        holder.wait()
        holder.stdout.close()
    assert api.SerialStream(device.path).is_open  # the lock went with its holder


def test_dead_lines_end_waits_at_once_and_say_why(device, capfd):
    missing = api.Osmira(api.SerialStream("/nonexistent/ttyACM3"))  # default 5 s timeout
    start = time.monotonic()
    assert missing.end_effector_force([1, 1, 1]) == ZEROS
    assert missing.get_temperature() == 0.0
    assert not missing.last_call_ok
    lines = [line for line in capfd.readouterr().err.splitlines() if "unable to open port" not in line]
    assert lines and all(line.endswith("[9] Bad file descriptor") for line in lines), lines

    arm = api.Osmira(api.SerialStream(device.path))
    device.hang_up()
    assert arm.end_effector_force([1, 1, 1]) == ZEROS
    assert arm.get_power_status() is False
    assert time.monotonic() - start < 1.0  # instead of two read timeouts per call


def test_a_deadline_holds_while_another_thread_keeps_the_interpreter_lock(device, capfd):
    silent = FakeDevice()
    try:
        other = api.Osmira(api.SerialStream(silent.path), 1.5)
        arm = api.Osmira(api.SerialStream(device.path), 0.5)
        device.send_after(1.3, b"\x2b" + floats(1, 2, 3, 4, 5, 6))  # long after the deadline
        # Holds the interpreter lock through its whole 1.5 s wait, from 0.1 s on.
        holder = threading.Thread(target=lambda: (time.sleep(0.1), other.get_temperature()))
        holder.start()
        assert arm.end_effector_force() == ZEROS
        holder.join()
        assert "timeout waiting for header code" in capfd.readouterr().err
    finally:
        silent.close()


def test_a_signal_handler_cannot_get_into_a_call_it_interrupted(device):
    arm = api.Osmira(api.SerialStream(device.path), 2.0)
    from_handler = []

    def handler(signum, frame):
        try:
            arm.end_effector_force([9, 9, 9])
        except RuntimeError as error:
            from_handler.append(str(error))

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        device.send_after(0.2, b"\x2b" + floats(1, 2, 3, 4, 5, 6))
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        start = time.monotonic()
        assert arm.end_effector_force([1, 0, 0]) == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
        assert time.monotonic() - start < 1.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert from_handler == ["a signal handler cannot use a port whose call it interrupted"]
    assert device.received(13, timeout=0.1) == b"\x2a" + floats(1, 0, 0)  # the handler sent nothing


def test_closing_an_arm_takes_its_force_back_to_zero_only_when_it_may_push(device):
    responder = Responder(device)
    try:
        with api.Osmira(api.SerialStream(device.path), 0.5) as arm:
            arm.end_effector_force([0.0, 0.0, 0.5])
        assert responder.requests == 2  # the force, then the zero on leaving the block
        assert arm.end_effector_force() == ZEROS and not arm.last_call_ok  # closed: fails at once

        quiet = api.Osmira(api.SerialStream(device.path), 0.5)
        quiet.joint_angles([1, 2, 3])  # a target holds the arm too
        quiet.end_effector_force([0, 0, 0])
        quiet.close()
        quiet.close()
        assert responder.requests == 4  # nothing more: the last command let go
    finally:
        responder.stop()
