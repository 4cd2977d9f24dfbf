"""``tavix monitor PORT``: a full-screen view of one device, refreshed 20 times a second.

A reader thread talks to the device as fast as it answers (the device calls release the
interpreter lock) while the screen thread draws what it last read. An arm runs force
exchanges at the force given (zero by default), and once per screen one exchange at zero
joint torque for its joint angles (the arm has no other reply that carries them; at zero
force it is the same command in the joint frame, and a force given is commanded again by
the next exchange, microseconds later); a handle is only listened to (its framed status
stream). The library's error lines are counted and the last one is shown: written under
the view, they would tear it.
"""

import collections
import curses
import sys
import threading
import time

from tavix_tools.args import force_vector
from tavix_tools.device import load_api, open_device
from tavix_tools.errors import USAGE, CommandError
from tavix_tools.libstderr import LibraryErrors
from tavix_tools.stats import format_latency, latency_summary

NAME = "monitor"
HELP = "watch an arm or a handle live in the terminal (q quits)"
ORDER = 30
REFRESH_MS = 50
LATENCY_WINDOW = 5000  # round trips the percentiles are taken over
RATE_WINDOW_S = 1.0
ZERO = [0.0, 0.0, 0.0]


def add_arguments(parser):
    parser.add_argument("port", metavar="PORT", help="the device's port, e.g. /dev/ttyACM0")
    parser.add_argument("--force", type=force_vector, default=ZERO, metavar="FX,FY,FZ",
                        help="an arm: the force to command, in newtons (default 0,0,0)")


class Reader(threading.Thread):
    """Reads the device until ``stop`` is set; ``count`` is the number of readings so far."""

    def __init__(self):
        super().__init__(daemon=True)
        self.stop = threading.Event()
        self.count = 0

    def run(self):
        while not self.stop.is_set():
            self.read_once()
            self.count += 1


class ArmReader(Reader):
    def __init__(self, arm, force):
        super().__init__()
        self.arm, self.force = arm, force
        self.position = self.velocity = self.angles = ZERO
        self.round_trips = collections.deque(maxlen=LATENCY_WINDOW)
        self.angles_wanted = threading.Event()

    def read_once(self):
        before = time.perf_counter_ns()
        self.position, self.velocity = self.arm.end_effector_force(self.force)
        self.round_trips.append((time.perf_counter_ns() - before) / 1e3)
        if self.angles_wanted.is_set():
            self.angles_wanted.clear()
            self.angles, _ = self.arm.joint_torques(ZERO)


class HandleReader(Reader):
    def __init__(self, handle):
        super().__init__()
        self.handle = handle
        self.status = None

    def read_once(self):
        self.status = self.handle.GetHoldraStatus()


class Rate:
    """Readings per second over the last second or so, from a growing count."""

    def __init__(self):
        self.samples = collections.deque()

    def update(self, count, now):
        self.samples.append((now, count))
        while now - self.samples[0][0] > RATE_WINDOW_S and len(self.samples) > 2:
            self.samples.popleft()
        (t0, c0), (t1, c1) = self.samples[0], self.samples[-1]
        return (c1 - c0) / (t1 - t0) if t1 > t0 else 0.0


def vector(values, scale=1.0, form="+9.3f"):
    return "  ".join(f"{axis} {scale * value:{form}}" for axis, value in zip("xyz", values))


def arm_lines(reader, rate):
    reader.angles_wanted.set()
    return [f"position (mm)        {vector(reader.position, 1000)}",
            f"velocity (mm/s)      {vector(reader.velocity, 1000)}",
            "joint angles (deg)   " + "  ".join(f"{a:+9.3f}" for a in reader.angles),
            f"exchanges            {reader.count}   rate {rate:8.0f} /s",
            f"round trip (us)      {format_latency(latency_summary(list(reader.round_trips)))}"]


def handle_lines(reader, rate):
    status = reader.status
    if status is None:
        return ["waiting for the handle's first status frame"]
    if status["error_flag"]:
        return [f"no status frame (error flag {status['error_flag']}): is the handle streaming?"]
    level = status["hall_effect_sensor_level"]
    return ["quaternion           [" + ", ".join(f"{q:+.4f}" for q in status["quaternion"]) + "]",
            "buttons              " + "  ".join("down" if status["buttons"] >> b & 1 else "up  " for b in range(3)),
            f"hall-effect level    {level:2d}  [{'#' * level}{'.' * (31 - level)}]",
            f"battery              {status['battery_level']:.3f} V",
            f"status frames        {reader.count}   rate {rate:8.1f} /s"]


def put(screen, row, text, attributes=0):
    """Writes one line, cut to the screen's width; rows below the screen are left out."""
    height, width = screen.getmaxyx()
    if row < height:
        screen.addnstr(row, 0, text, max(width - 1, 0), attributes)


def title_of(verdict):
    device_id = (verdict["identity"] or {}).get("device_id", "?")
    return (f"tavix monitor  {verdict['port']}  {verdict['kind']} device id {device_id}"
            f"    q quits")


def view(screen, reader, verdict, errors):
    """The screen loop: draws until q (or Ctrl-C) and returns."""
    curses.curs_set(0)
    screen.timeout(REFRESH_MS)
    rate, error_count, last_error = Rate(), 0, ""
    lines_of = arm_lines if verdict["kind"] == "arm" else handle_lines
    while screen.getch() not in (ord("q"), ord("Q")):
        new_errors = errors.new_lines()
        error_count += len(new_errors)
        last_error = new_errors[-1] if new_errors else last_error
        screen.erase()
        put(screen, 0, title_of(verdict), curses.A_BOLD)
        for row, text in enumerate(lines_of(reader, rate.update(reader.count, time.monotonic())), start=2):
            put(screen, row, text)
        put(screen, 9, f"library errors       {error_count}  {last_error}")
        screen.refresh()


def run(args):
    if not (sys.stdin.isatty() and sys.stdout.isatty()):
        raise CommandError("needs a terminal (standard input and output)", USAGE)
    line, verdict = open_device(args.port)
    if verdict["kind"] == "arm":
        reader = ArmReader(line.raw, args.force)
    elif args.force != ZERO:
        line.close()
        raise CommandError("--force is for an arm, and this is a handle", USAGE)
    else:
        reader = HandleReader(load_api().Handle(line.stream))
    with LibraryErrors() as errors:
        reader.start()
        try:
            curses.wrapper(view, reader, verdict, errors)
        except KeyboardInterrupt:
            pass  # Ctrl-C quits like q; curses.wrapper has restored the terminal
        finally:
            reader.stop.set()
            reader.join()
    line.close()
    return 0
