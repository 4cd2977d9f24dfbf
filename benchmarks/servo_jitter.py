"""Servo loop timing from Python: a ServoLoop against the same spring computed in a pure-Python
loop around Osmira.end_effector_force, each idle and beside a Python thread that keeps the
interpreter busy (allocating, so that the garbage collector runs too).

Each loop runs as fast as the line answers, then at a fixed rate (--rate, 1 kHz). For every
run: iterations per second, the round trip of the force exchange (p50, p99, p99.9, max) and
the iteration period (start to start: p50, p99.9, and their ratio, the jitter). The line is
the C responder of the round-trip benchmark on a pseudo-terminal (default), or the device
simulator (--simulator); it stands for an arm with a processor of its own, which on a small
machine has to share the processors with the loop and the busy thread: --device-nice gives
it a scheduling priority (negative values need the privilege). Prints one Markdown table and
the jitter target.

Usage: servo_jitter.py BUILD_DIR [--seconds S] [--rate HZ] [--simulator] [--device-nice N]
                       [--spin-seconds S]
"""

import argparse
import contextlib
import json
import os
import subprocess
import sys
import threading
import time

import numpy

HERE = os.path.dirname(os.path.abspath(__file__))
STIFFNESS, DAMPING, MAX_FORCE = 200.0, 2.0, 2.0


class Busy:
    """A Python thread that holds the interpreter as much as it can, allocating as it goes."""

    def __init__(self):
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        garbage = []
        while not self._stop.is_set():
            garbage.append({"n": [0] * 20})
            if len(garbage) > 10000:
                garbage = []

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


class Simulator:
    def __init__(self, build):
        binary = os.path.join(build, "simulator", "tavix-devsim")
        self.process = subprocess.Popen([binary, "--json", "--exit-with-parent", "--arm", "1", "--handle", "0"],
                                        stdout=subprocess.PIPE, text=True)
        description = json.loads(self.process.stdout.readline())
        self.path = description["arms"][0]
        self.pid = self.process.pid
        self.center = description["workspace"]["center"]

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()


class Responder:
    def __init__(self, build):
        sys.path.insert(0, os.path.join(HERE, "roundtrip"))
        from compare import Line

        self.line = Line(os.path.join(build, "benchmarks", "roundtrip", "tavix-bench-responder"), spin=False)
        self.path = self.line.path
        self.pid = self.line.process.pid
        self.center = [0.0, 0.0, 0.0]

    def close(self):
        self.line.close()


def servo_run(api, arm, center, seconds, spin_seconds, rate):
    """(iterations per second, round trips, periods) of a ServoLoop rendering the spring."""
    size = 400000
    with api.ServoLoop(arm, rate_hz=rate, max_force=MAX_FORCE, telemetry_size=size,
                       spin_seconds=spin_seconds) as loop:
        loop.add_spring(center, STIFFNESS, DAMPING)
        time.sleep(seconds)
        samples = loop.telemetry()
        iterations = loop.stats()["iterations"]
    if iterations > size:
        raise RuntimeError("telemetry ring too small for the run")
    times = samples["time"]
    return len(times) / (times[-1] - times[0]), samples["round_trip"], numpy.diff(times)


def wait_for_tick(clock, tick, period):
    """The next tick after `tick`, waited for as the ServoLoop does (sleep, then poll the last
    200 us); a tick already past is skipped."""
    tick += period
    now = clock()
    if now > tick:
        return now
    if tick - now > 200e-6:
        time.sleep(tick - now - 200e-6)
    while clock() < tick:
        pass
    return tick


def python_run(arm, center, seconds, rate):
    """The same spring, clamp included, computed and exchanged by the interpreter."""
    clock = time.perf_counter
    starts, trips = [], []
    position, velocity = list(center), [0.0, 0.0, 0.0]
    end = tick = clock() + seconds
    tick -= seconds
    while True:
        start = clock()
        if start > end:
            break
        force = [-STIFFNESS * (p - c) - DAMPING * v for p, c, v in zip(position, center, velocity)]
        norm = (force[0] ** 2 + force[1] ** 2 + force[2] ** 2) ** 0.5
        if norm > MAX_FORCE:
            force = [f * MAX_FORCE / norm for f in force]
        position, velocity = arm.end_effector_force(force)
        trips.append(clock() - start)
        starts.append(start)
        if rate:
            tick = wait_for_tick(clock, tick, 1.0 / rate)
    arm.end_effector_force([0.0, 0.0, 0.0])
    starts = numpy.array(starts)
    return len(starts) / (starts[-1] - starts[0]), numpy.array(trips), numpy.diff(starts)


def row(name, load, rate, trips, periods):
    p = lambda values, q: numpy.quantile(values, q) * 1e6  # noqa: E731
    period50, period999 = p(periods, 0.5), p(periods, 0.999)
    print(f"| {name} | {load} | {rate:.0f} | {p(trips, 0.5):.1f} | {p(trips, 0.99):.1f} | {p(trips, 0.999):.1f} "
          f"| {trips.max() * 1e6:.0f} | {period50:.1f} | {period999:.1f} | {period999 / period50:.2f} |")
    return period999 / period50


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", help="the CMake build folder")
    parser.add_argument("--seconds", type=float, default=2.0, help="seconds per run (default 2)")
    parser.add_argument("--simulator", action="store_true", help="run on tavix-devsim instead of the responder")
    parser.add_argument("--rate", type=float, default=1000.0, help="the fixed rate of the second set of runs")
    parser.add_argument("--spin-seconds", type=float, default=100e-6,
                        help="the ServoLoop's spin_seconds (default 100e-6; negative: never sleep)")
    parser.add_argument("--device-nice", type=int, default=0,
                        help="nice value for the far end (it plays hardware with a processor of its own)")
    args = parser.parse_args()

    import TavixHardwareAPI as api  # the module of `build` (make bench sets PYTHONPATH)

    line = Simulator(args.build) if args.simulator else Responder(args.build)
    ratios = {}
    try:
        if args.device_nice:
            try:
                os.setpriority(os.PRIO_PROCESS, line.pid, args.device_nice)
            except PermissionError:
                print(f"(no permission for nice {args.device_nice}: the far end runs at nice 0)")
                args.device_nice = 0
        arm = api.Osmira(api.SerialStream(line.path), 1.0)
        print("| Loop | Load | Iterations/s | RTT p50 us | RTT p99 us | RTT p99.9 us | RTT max us "
              "| Period p50 us | Period p99.9 us | p99.9 / p50 |")
        print("|---|---|--:|--:|--:|--:|--:|--:|--:|--:|")
        for rate in (0, args.rate):
            runs = {"ServoLoop": lambda: servo_run(api, arm, line.center, args.seconds, args.spin_seconds, rate),
                    "pure-Python loop": lambda: python_run(arm, line.center, args.seconds, rate)}
            for load, context in (("idle", contextlib.nullcontext), ("busy Python thread", Busy)):
                for name, run in runs.items():
                    with context():
                        ratios[(name, load, rate)] = row(f"{name} at {rate:g} Hz" if rate else name, load, *run())
        del arm
    finally:
        line.close()
    print()
    for rate in (0, args.rate):
        busy = ratios[("ServoLoop", "busy Python thread", rate)]
        python = ratios[("pure-Python loop", "busy Python thread", rate)]
        print(f"ServoLoop ({f'{rate:g} Hz' if rate else 'full rate'}) period p99.9 / p50 beside a busy Python thread: {busy:.2f} "
              f"(target <= 3): {'met' if busy <= 3 else 'MISSED'}; pure-Python loop: {python:.2f}")
    print(f"Line: {'tavix-devsim' if args.simulator else 'C responder (blocking poll())'} at nice {args.device_nice}; "
          f"ServoLoop spin_seconds {args.spin_seconds:g}; {args.seconds:g} s per run.")


if __name__ == "__main__":
    main()
