"""Interrupts itself during each kind of wait of the module and reports the delays.

Each wait runs on a silent pseudo-terminal with a 5-second read timeout. A real-time timer
(setitimer) raises SIGALRM 0.2 s into the call; its handler raises Interrupted. The delay is
the time from the timer's expiry to the exception leaving the call. One more wait is ended by
SIGINT, sent from another thread, to show Ctrl-C's KeyboardInterrupt. Prints one JSON object:
{wait name: delay in seconds, or the text of what went wrong instead}.

Usage: interrupt_child.py [NAME ...]   (all waits when no name is given)
"""

import json
import os
import signal
import sys
import threading
import time
import tty
import warnings

import TavixHardwareAPI as api

AFTER = 0.2


class Interrupted(Exception):
    pass


def raise_interrupted(signum, frame):
    raise Interrupted()


def silent_line():
    """A serial line whose device never answers; the master end stays open."""
    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    path = os.ttyname(slave)
    os.close(slave)
    return master, path


def arm(path):
    return api.Osmira(api.SerialStream(path), 5.0)


def handle(path):
    return api.Handle(api.SerialStream(path))


def older_receive(device):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        device.ReceiveState([0.0] * 3, [0.0] * 3)


WAITS = {
    "end_effector_force": (arm, lambda a: a.end_effector_force([0.0, 0.0, 0.0])),
    "joint_angles": (arm, lambda a: a.joint_angles([0.0, 0.0, 0.0])),
    "get_end_effector_position(False)": (arm, lambda a: a.get_end_effector_position(False)),
    "ReceiveState": (arm, older_receive),
    "device_wakeup": (arm, lambda a: a.device_wakeup()),
    "get_device_id": (arm, lambda a: a.get_device_id()),
    "get_temperature": (arm, lambda a: a.get_temperature()),
    "read_raw": (arm, lambda a: a.read_raw(4, 5.0)),
    "read_raw without deadline": (arm, lambda a: a.read_raw(4, 0.0)),
    "Handle.Receive": (handle, lambda h: h.Receive()),
    "GetHoldraStatus": (handle, lambda h: h.GetHoldraStatus()),
}


def measure_alarm(make, call):
    master, path = silent_line()
    try:
        device = make(path)
        signal.setitimer(signal.ITIMER_REAL, AFTER)
        fired = time.monotonic() + AFTER
        try:
            call(device)
        except Interrupted:
            return time.monotonic() - fired
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        return "the call returned without the exception"
    finally:
        os.close(master)


def measure_ctrl_c():
    master, path = silent_line()
    try:
        device = arm(path)
        sent = []

        def press_ctrl_c():
            time.sleep(AFTER)
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        presser = threading.Thread(target=press_ctrl_c)
        presser.start()
        try:
            device.end_effector_force([0.0, 0.0, 0.0])
        except KeyboardInterrupt:
            return time.monotonic() - sent[0]
        finally:
            presser.join()
        return "the call returned without KeyboardInterrupt"
    finally:
        os.close(master)


def main():
    signal.signal(signal.SIGALRM, raise_interrupted)
    names = sys.argv[1:] or [*WAITS, "Ctrl-C"]
    delays = {name: measure_ctrl_c() if name == "Ctrl-C" else measure_alarm(*WAITS[name]) for name in names}
    print(json.dumps(delays))


if __name__ == "__main__":
    main()
