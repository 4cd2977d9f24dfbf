"""ServoLoop lifecycles that can hang or kill a process, each run in a process of its own.

Usage: servo_loop_child.py races ROUNDS
       servo_loop_child.py fork
       servo_loop_child.py daemon-exit PORT

races: start/stop pairs, many stoppers and many starters, all released at once by a barrier
from several threads, ROUNDS times each; prints "ok", or what hung or raised (exit status 1).
fork: forks while a loop runs; prints one JSON object of what the forked child saw and wrote.
daemon-exit: a daemon thread starts a loop with a constant force on PORT and keeps it; the
main thread then lets the interpreter exit without stopping it.
"""

import gc
import json
import os
import select
import sys
import threading
import time
import warnings

import TavixHardwareAPI as api
from fakedevice import FakeDevice, floats

STATE = b"\x2b" + floats(0, 0, 0, 0, 0, 0)
JOIN_LIMIT = 10.0  # seconds a thread may take; only a hang takes longer


class Responder:
    """Answers every force frame on a fake device with a state, from a thread of its own;
    `last` is the last frame it read."""

    def __init__(self, device):
        self.device = device
        self.last = b""
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        pending = 0
        while not self.done.is_set():
            ready, _, _ = select.select([self.device.master], [], [], 0.01)
            if not ready:
                continue
            chunk = os.read(self.device.master, 4096)
            self.last = (self.last + chunk)[-13:]
            pending += len(chunk)
            self.device.send(STATE * (pending // 13))
            pending %= 13

    def stop(self):
        self.done.set()
        self.thread.join()


def wait_for(condition, limit=10.0):
    end = time.monotonic() + limit
    while not condition():
        if time.monotonic() > end:
            raise TimeoutError("condition not reached")
        time.sleep(0.002)


def make_loop(arm):
    loop = api.ServoLoop(arm, max_force=1.0, watchdog_misses=10**6, reply_timeout=0.005)
    loop.add_constant_force([0.0, 0.0, 0.5])
    return loop


def together(calls):
    """Runs the calls at once, one thread each, released by a barrier; returns the problems."""
    barrier = threading.Barrier(len(calls))
    problems = []

    def run(call):
        try:
            barrier.wait()
            call()
        except Exception as error:  # noqa: BLE001 - reported to the parent
            problems.append(repr(error))

    threads = [threading.Thread(target=run, args=(call,), daemon=True) for call in calls]
    for thread in threads:
        thread.start()
    end = time.monotonic() + JOIN_LIMIT
    for thread in threads:
        thread.join(max(end - time.monotonic(), 0))
        if thread.is_alive():
            problems.append("a call never returned")
            break
    return problems


def races(rounds):
    device = FakeDevice()
    responder = Responder(device)
    arm = api.Osmira(api.SerialStream(device.path), 0.2)
    loop = make_loop(arm)
    scenarios = {
        "start/stop pairs": lambda: [loop.start, loop.stop] * 3,
        "many stoppers": lambda: [loop.stop] * 8,
        "many starters": lambda: [loop.start] * 8,
    }
    for _ in range(rounds):
        for name, calls in scenarios.items():
            if name == "many stoppers":
                loop.start()
            problems = together(calls())
            if problems:
                print(f"{name}: {problems[0]}", flush=True)
                os._exit(1)  # a thread may still hang in a call: no orderly exit
    loop.stop()
    if loop.running or loop.stats()["stop_reason"] != "requested":
        print(f"after the last stop: {loop.stats()}", flush=True)
        os._exit(1)
    responder.stop()
    print("ok", flush=True)


def fork():
    device = FakeDevice()
    responder = Responder(device)
    arm = api.Osmira(api.SerialStream(device.path), 0.2)
    loop = make_loop(arm)
    loop.start()
    wait_for(lambda: loop.stats()["iterations"] >= 20)
    go_read, go_write = os.pipe()
    report_read, report_write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking a process with threads
        pid = os.fork()
    if pid == 0:
        seen = {"running_after_fork": loop.running}
        os.read(go_read, 1)  # the parent's loop has stopped and the line is quiet
        start = time.monotonic()
        loop.stop()
        seen["stop_seconds"] = time.monotonic() - start
        seen["running_after_stop"] = loop.running
        os.write(report_write, json.dumps(seen).encode())
        os.close(report_write)
        del loop
        gc.collect()  # the destructor
        sys.exit(0)  # and the interpreter's exit: neither may join or write
    os.close(report_write)
    loop.stop()
    responder.stop()
    parent_last = (responder.last + device.received(0, 0.2))[-13:]
    os.write(go_write, b"x")
    end = time.monotonic() + JOIN_LIMIT
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > end:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            print(json.dumps({"child": "never exited"}), flush=True)
            return
        time.sleep(0.01)
    report = os.read(report_read, 4096)
    result = json.loads(report) if report else {"child": "reported nothing"}
    result["written_by_child"] = device.received(0, 0.2).hex()
    result["parent_last_frame"] = parent_last.hex()
    print(json.dumps(result), flush=True)


def daemon_exit(port):
    arm = api.Osmira(api.SerialStream(port), 0.2)
    started = threading.Event()

    def own_a_loop():
        loop = api.ServoLoop(arm, max_force=2.0, watchdog_misses=10**6, reply_timeout=0.005)
        loop.add_constant_force([0.0, 0.0, 1.5])
        loop.start()
        wait_for(lambda: loop.stats()["iterations"] >= 10)
        started.set()
        threading.Event().wait()  # keeps the loop for ever

    threading.Thread(target=own_a_loop, daemon=True).start()
    if not started.wait(JOIN_LIMIT):
        sys.exit("the loop did not start")
    print("running", flush=True)


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "races":
        races(int(sys.argv[2]))
    elif mode == "fork":
        fork()
    elif mode == "daemon-exit":
        daemon_exit(sys.argv[2])
    else:
        sys.exit(f"unknown mode {mode}")
