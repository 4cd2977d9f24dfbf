"""Servo loop timing from Python: a ServoLoop against the same spring computed in a pure-Python
loop around Osmira.end_effector_force, each idle and beside a Python thread that keeps the
interpreter busy (allocating, so that the garbage collector runs too).

Each loop runs as fast as the line answers, then at fixed rates (--rates, 1 kHz and 4 kHz);
the ServoLoop runs each without and with the scheduling options (real-time priority 80, pinned
to the last processor, memory locked; what the system refused is shown as not granted). For
every run: iterations per second, the round trip of the force exchange (p50, p99.9), the
iteration period (start to start: p50, p99, p99.9, max), the ticks that came late per 10,000
ticks (as the loop counts them: a ServoLoop of this build counts every tick missed, an older one
each overrun once) and, counted alike for every loop, the periods longer than 1.5 ticks per
10,000 periods. The line is
the C responder of the round-trip benchmark on a pseudo-terminal (default), or the device
simulator (--simulator); it stands for an arm with a processor of its own, which on a small
machine has to share the processors with the loop and the busy thread: --device-nice gives
it a scheduling priority (negative values need the privilege), --device-priority a real-time
one on a processor of its own. Prints one Markdown table, then the timer floor (how late a bare
absolute sleep wakes at each rate, without and with the options: tavix-wake-latency) and the
targets.

Usage: servo_jitter.py BUILD_DIR [--seconds S] [--rates HZ ...] [--simulator] [--device-nice N]
                       [--device-priority P] [--spin-seconds S] [--priority P]
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


def servo_run(api, arm, center, seconds, spin_seconds, rate, scheduling):
    """(granted scheduling, round trips, periods, late ticks per 10,000) of a ServoLoop
    rendering the spring."""
    size = 400000
    with api.ServoLoop(arm, rate_hz=rate, max_force=MAX_FORCE, telemetry_size=size, spin_seconds=spin_seconds,
                       **scheduling) as loop:
        loop.add_spring(center, STIFFNESS, DAMPING)
        time.sleep(seconds)
        stats = loop.stats()  # first: the late ticks it counts fall within the samples' span
        samples = loop.telemetry()
    if stats["iterations"] > size:
        raise RuntimeError("telemetry ring too small for the run")
    times = samples["time"]
    late = stats["late_ticks"] * 1e4 / ((times[-1] - times[0]) * rate) if rate else None
    return granted(stats) if scheduling else "none", samples["round_trip"], numpy.diff(times), late


def granted(stats):
    """The scheduling a run was granted, in words."""
    parts = [f"priority {stats['priority']}" if stats["priority"] else "priority refused",
             f"cpu {stats['cpu']}" if stats["cpu"] is not None else "cpu refused",
             "memory locked" if stats["lock_memory"] else "memory lock refused"]
    return ", ".join(parts)


def wait_for_tick(clock, tick, period):
    """(the tick waited for, ticks missed): the next tick after `tick`, waited for by sleeping,
    then polling the last 200 us; when it has passed, the schedule goes on from now."""
    tick += period
    now = clock()
    if now > tick:
        return now, 1
    if tick - now > 200e-6:
        time.sleep(tick - now - 200e-6)
    while clock() < tick:
        pass
    return tick, 0


def python_run(arm, center, seconds, rate):
    """The same spring, clamp included, computed and exchanged by the interpreter."""
    clock = time.perf_counter
    starts, trips = [], []
    late = 0
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
            tick, missed = wait_for_tick(clock, tick, 1.0 / rate)
            late += missed
    arm.end_effector_force([0.0, 0.0, 0.0])
    starts = numpy.array(starts)
    return "none", numpy.array(trips), numpy.diff(starts), late * 1e4 / (seconds * rate) if rate else None


def row(name, load, rate, granted_options, trips, periods, late):
    """Prints one table row; returns the period percentiles and late ticks (us, per 10,000)."""
    p = lambda values, q: numpy.quantile(values, q) * 1e6  # noqa: E731
    result = {"p50": p(periods, 0.5), "p99": p(periods, 0.99), "p999": p(periods, 0.999),
              "max": periods.max() * 1e6, "late": late}
    late_text = "-" if late is None else f"{late:.1f}"
    # Counted the same way for every loop and build: periods half as long again as the tick's.
    long_text = "-" if not rate else f"{numpy.count_nonzero(periods > 1.5 / rate) * 1e4 / len(periods):.1f}"
    print(f"| {name} | {granted_options} | {load} | {len(periods) / periods.sum():.0f} | {p(trips, 0.5):.1f} "
          f"| {p(trips, 0.999):.1f} | {result['p50']:.1f} | {result['p99']:.1f} | {result['p999']:.1f} "
          f"| {result['max']:.0f} | {late_text} | {long_text} |")
    return result


def timer_floor(build, rates, seconds, scheduling):
    """Prints the wake-up overshoot of a bare absolute sleep at each rate, asked for the same
    scheduling as the ServoLoop run (the platform's floor under any paced loop)."""
    binary = os.path.join(build, "benchmarks", "tavix-wake-latency")
    if not os.path.exists(binary):
        return
    for rate in rates:
        words = [binary, str(round(1e6 / rate)), str(max(1, round(seconds * rate)))]
        if scheduling:
            words += [str(scheduling["priority"]), str(scheduling["cpu"])]
        result = subprocess.run(words, capture_output=True, text=True, timeout=seconds * 10 + 10)
        print(f"Timer floor at {rate:g} Hz: {result.stdout.strip() or result.stderr.strip()}")


def give_real_time(pid, priority):
    """Puts every thread of process `pid` at SCHED_FIFO `priority` on the first processor; False
    when that is not permitted."""
    first = min(os.sched_getaffinity(0))
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            os.sched_setaffinity(int(task), {first})
            os.sched_setscheduler(int(task), os.SCHED_FIFO, os.sched_param(priority))
    except PermissionError:
        return False
    return True


def supports_scheduling(api):
    """Whether this build's ServoLoop takes the scheduling options (an older one does not)."""
    return "priority" in (api.ServoLoop.__init__.__doc__ or "")


def goals(results, rates):
    """The targets, each met or missed, for the runs made."""
    for load in ("idle", "busy Python thread"):
        for rate in rates:
            result = results.get(("ServoLoop", "with options", load, rate))
            if result is None:
                continue
            limit = 1200.0 if rate == 1000 else 2e6 / rate
            late_ok = result["late"] < 10 if rate == 1000 else True
            met = result["p999"] <= limit and late_ok
            print(f"ServoLoop at {rate:g} Hz with options, {load}: period p99.9 {result['p999']:.0f} us "
                  f"(target <= {limit:.0f}), late {result['late']:.1f} per 10,000"
                  f"{' (target < 10)' if rate == 1000 else ''}: {'met' if met else 'MISSED'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", help="the CMake build folder")
    parser.add_argument("--seconds", type=float, default=1.5, help="seconds per run (default 1.5)")
    parser.add_argument("--simulator", action="store_true", help="run on tavix-devsim instead of the responder")
    parser.add_argument("--rates", type=float, nargs="+", default=[1000.0, 4000.0],
                        help="the fixed rates after the full-rate runs (default 1000 4000)")
    parser.add_argument("--spin-seconds", type=float, default=100e-6,
                        help="the ServoLoop's spin_seconds (default 100e-6; negative: never sleep)")
    parser.add_argument("--priority", type=int, default=80, help="the real-time priority asked for (default 80)")
    parser.add_argument("--no-python", action="store_true", help="skip the pure-Python loop")
    parser.add_argument("--device-nice", type=int, default=0,
                        help="nice value for the far end (it plays hardware with a processor of its own)")
    parser.add_argument("--device-priority", type=int, default=0,
                        help="a SCHED_FIFO priority for the far end's threads, pinned to the first processor "
                             "(the loop's options pin it to the last): hardware that never waits for the host's "
                             "processors (default 0: not asked)")
    args = parser.parse_args()

    import TavixHardwareAPI as api  # the module of `build` (make bench sets PYTHONPATH)

    schedulings = {"no options": {}}
    if supports_scheduling(api):
        schedulings["with options"] = {"priority": args.priority, "cpu": max(os.sched_getaffinity(0)),
                                       "lock_memory": True}
    line = Simulator(args.build) if args.simulator else Responder(args.build)
    results = {}
    rates = [0.0] + args.rates
    try:
        if args.device_nice:
            try:
                os.setpriority(os.PRIO_PROCESS, line.pid, args.device_nice)
            except PermissionError:
                print(f"(no permission for nice {args.device_nice}: the far end runs at nice 0)")
                args.device_nice = 0
        if args.device_priority and not give_real_time(line.pid, args.device_priority):
            print(f"(no permission for real-time priority {args.device_priority}: the far end runs as it was)")
            args.device_priority = 0
        arm = api.Osmira(api.SerialStream(line.path), 1.0)
        print("| Loop | Options granted | Load | Iterations/s | RTT p50 us | RTT p99.9 us | Period p50 us "
              "| Period p99 us | Period p99.9 us | Period max us | Late per 10,000 | Periods > 1.5 T per 10,000 |")
        print("|---|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|")
        for rate in rates:
            runs = {("ServoLoop", name): (lambda s=scheduling: servo_run(api, arm, line.center, args.seconds,
                                                                          args.spin_seconds, rate, s))
                    for name, scheduling in schedulings.items()}
            if not args.no_python:
                runs[("pure-Python loop", "no options")] = lambda: python_run(arm, line.center, args.seconds, rate)
            for load, context in (("idle", contextlib.nullcontext), ("busy Python thread", Busy)):
                for (name, scheduling), run in runs.items():
                    with context():
                        title = f"{name} at {rate:g} Hz" if rate else f"{name} at full rate"
                        results[(name, scheduling, load, rate)] = row(title, load, rate, *run())
        del arm
    finally:
        line.close()
    print()
    for scheduling in schedulings.values():
        timer_floor(args.build, args.rates, args.seconds, scheduling)
    goals(results, args.rates)
    device_priority = f", real-time priority {args.device_priority} on processor 0" if args.device_priority else ""
    print(f"Line: {'tavix-devsim' if args.simulator else 'C responder (blocking poll())'} at nice {args.device_nice}"
          f"{device_priority}; "
          f"ServoLoop spin_seconds {args.spin_seconds:g}; {args.seconds:g} s per run; "
          f"{os.cpu_count()} processors.")


if __name__ == "__main__":
    main()
