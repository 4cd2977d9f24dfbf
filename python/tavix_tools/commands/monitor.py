"""``tavix monitor PORT``: a full-screen view of one device, refreshed 20 times a second.

A reader thread talks to the device as fast as it answers (the device calls release the
interpreter lock) while the screen thread draws what it last read. An arm runs force
exchanges at the force given (zero by default, bounded by --max-force), and once per screen
one exchange at zero joint torque for its joint angles (the arm has no other reply that
carries them; at zero force it is the same command in the joint frame, and a force given is
commanded again by the next exchange, microseconds later); a handle is only listened to (its
framed status stream). The arm's exchanges wait a short read timeout, so that the view says
at once when the arm stops answering and quits at once on q. Whichever way the command ends
(q, Ctrl-C, SIGTERM, SIGHUP, an error), the arm's last exchange commands zero force. The
library's error lines are counted and the last one is shown: written under the view, they
would tear it. Without a terminal it prints one line of readings every LINE_PERIOD_S.
"""

import collections
import curses
import signal
import sys
import threading
import time

from tavix_tools.args import ZERO_FORCE, add_force_arguments, check_force
from tavix_tools.device import check_open, load_api, open_device, zero_force
from tavix_tools.errors import USAGE, CommandError
from tavix_tools.libstderr import LibraryErrors
from tavix_tools.signals import Stopped, StopSignals
from tavix_tools.stats import format_latency, latency_summary

NAME = "monitor"
HELP = "watch an arm or a handle live in the terminal (q quits)"
ORDER = 30
REFRESH_MS = 50
LATENCY_WINDOW = 5000  # round trips the percentiles are taken over
RATE_WINDOW_S = 1.0
# A working arm answers within milliseconds (18 ms was the slowest seen on a loaded machine).
# An exchange a silent arm does not answer costs this (the first one twice), and q waits for
# two of them (the one under way and the zero-force one): about 40 ms.
ARM_READ_TIMEOUT_S = 0.02
LINE_PERIOD_S = 0.1  # without a terminal: ten lines a second, which a log or a pipe keeps up with
QUIT_KEYS = (ord("q"), ord("Q"))
HELP_KEYS = (ord("h"), ord("H"), ord("?"))
KEYS_HELP = ["keys", "  q       quit (Ctrl-C too); an arm gets zero force first", "  h or ?  show or hide these keys"]


def add_arguments(parser):
    parser.add_argument("port", metavar="PORT", help="the device's port, e.g. /dev/ttyACM0")
    add_force_arguments(parser, "an arm: the force to command")


class Reader(threading.Thread):
    """Reads the device on ``stream`` until ``stop`` is set; ``count`` is the number of
    readings so far, ``failure`` what ended the reading early (the line failed or closed)."""

    def __init__(self, stream):
        super().__init__(daemon=True)
        self.stream = stream
        self.stop = threading.Event()
        self.count = 0
        self.failure = None

    def run(self):
        try:
            while not self.stop.is_set():
                self.read_once()
                self.count += 1
                check_open(self.stream)
        except RuntimeError as error:  # the line is gone: nothing more can be read
            self.failure = str(error)


class ArmReader(Reader):
    """``answered`` counts the exchanges the arm answered; the readings shown are from the
    last of them, and ``silent_since`` (monotonic) is set while the arm does not answer."""

    def __init__(self, line, force):
        super().__init__(line.stream)
        self.arm, self.force = line.raw, force
        self.position = self.velocity = self.angles = list(ZERO_FORCE)
        self.answered = 0
        self.silent_since = None
        self.round_trips = collections.deque(maxlen=LATENCY_WINDOW)
        self.angles_wanted = threading.Event()

    def read_once(self):
        before = time.perf_counter_ns()
        position, velocity = self.arm.end_effector_force(self.force)
        round_trip = (time.perf_counter_ns() - before) / 1e3
        if not self.arm.last_call_ok:
            self.silent_since = self.silent_since or time.monotonic()
            return
        self.position, self.velocity, self.silent_since = position, velocity, None
        self.round_trips.append(round_trip)
        self.answered += 1
        if self.angles_wanted.is_set():
            self.angles_wanted.clear()
            angles, _ = self.arm.joint_torques(list(ZERO_FORCE))
            if self.arm.last_call_ok:
                self.angles = angles

    def answering(self):
        """A line saying whether the arm answers, and since when it does not."""
        if self.failure:
            return f"NOT ANSWERING: {self.failure}"
        if self.silent_since is None:
            return "answering"
        return (f"NOT ANSWERING for {time.monotonic() - self.silent_since:.1f} s "
                "(the readings are its last answer)")


class HandleReader(Reader):
    def __init__(self, handle, stream):
        super().__init__(stream)
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
            f"exchanges            {reader.answered}   rate {rate:8.0f} /s   "
            f"unanswered {reader.count - reader.answered}",
            f"round trip (us)      {format_latency(latency_summary(list(reader.round_trips)))}",
            f"arm                  {reader.answering()}"]


def handle_lines(reader, rate):
    status = reader.status
    if reader.failure:
        return [f"not answering: {reader.failure}"]
    if status is None:
        return ["waiting for the handle's first status frame"]
    if status["error_flag"]:
        return [f"not answering: no status frame (error flag {status['error_flag']}): is the handle streaming?"]
    level = status["hall_effect_sensor_level"]
    return ["quaternion           [" + ", ".join(f"{q:+.4f}" for q in status["quaternion"]) + "]",
            "buttons              " + "  ".join("down" if status["buttons"] >> b & 1 else "up  " for b in range(3)),
            f"hall-effect level    {level:2d}  [{'#' * level}{'.' * (31 - level)}]",
            f"battery              {status['battery_level']:.3f} V",
            f"status frames        {reader.count}   rate {rate:8.1f} /s"]


def readings_count(reader):
    """What the rate is counted over: answered exchanges of an arm, frames of a handle."""
    return reader.answered if isinstance(reader, ArmReader) else reader.count


def put(screen, row, text, attributes=0):
    """Writes one line, cut to the screen's width; rows below the screen are left out."""
    height, width = screen.getmaxyx()
    if row < height:
        screen.addnstr(row, 0, text, max(width - 1, 0), attributes)


def device_of(verdict):
    device_id = (verdict["identity"] or {}).get("device_id", "?")
    return f"tavix monitor  {verdict['port']}  {verdict['kind']} device id {device_id}"


def view(screen, reader, verdict, errors):
    """The screen loop: draws until q (or Ctrl-C) and returns."""
    curses.curs_set(0)
    screen.timeout(REFRESH_MS)
    rate, error_count, last_error, show_keys = Rate(), 0, "", False
    lines_of = arm_lines if verdict["kind"] == "arm" else handle_lines
    while (key := screen.getch()) not in QUIT_KEYS:
        show_keys ^= key in HELP_KEYS
        new_errors = errors.new_lines()
        error_count += len(new_errors)
        last_error = new_errors[-1] if new_errors else last_error
        screen.erase()
        put(screen, 0, f"{device_of(verdict)}    q quits, h keys", curses.A_BOLD)
        for row, text in enumerate(lines_of(reader, rate.update(readings_count(reader), time.monotonic())), start=2):
            put(screen, row, text)
        put(screen, 9, f"library errors       {error_count}  {last_error}")
        for row, text in enumerate(KEYS_HELP if show_keys else [], start=11):
            put(screen, row, text)
        screen.refresh()


def arm_sample(reader, rate):
    state = "answering" if reader.silent_since is None and not reader.failure else "not-answering"
    return " ".join([*(f"{1000 * v:+.3f}" for v in (*reader.position, *reader.velocity)),
                     str(reader.answered), f"{rate:.0f}", state])


def handle_sample(reader, rate):
    status = reader.status
    if reader.failure or status is None or status["error_flag"]:
        state = "waiting" if status is None and not reader.failure else "not-answering"
        return " ".join(["-"] * 7 + [str(reader.count), f"{rate:.1f}", state])
    return " ".join([*(f"{q:+.4f}" for q in status["quaternion"]), f"{status['buttons']:03b}",
                     str(status["hall_effect_sensor_level"]), f"{status['battery_level']:.3f}",
                     str(reader.count), f"{rate:.1f}", "answering"])


SAMPLE_COLUMNS = {"arm": "t_s x_mm y_mm z_mm vx_mm_s vy_mm_s vz_mm_s exchanges rate_per_s state",
                  "handle": "t_s qx qy qz qw buttons hall_level battery_v frames rate_per_s state"}


def print_samples(reader, verdict):
    """Without a terminal: a header, then one line of readings every LINE_PERIOD_S until a
    stop signal (or the reader of the output goes away)."""
    sample_of = arm_sample if verdict["kind"] == "arm" else handle_sample
    print(f"# {device_of(verdict)}: a line every {LINE_PERIOD_S:g} s, Ctrl-C stops")
    print(SAMPLE_COLUMNS[verdict["kind"]], flush=True)
    rate, start = Rate(), time.monotonic()
    rate.update(readings_count(reader), start)
    next_line = start + LINE_PERIOD_S
    while True:
        time.sleep(max(next_line - time.monotonic(), 0))
        now = time.monotonic()
        print(f"{now - start:.3f} {sample_of(reader, rate.update(readings_count(reader), now))}", flush=True)
        # A reader of the output that fell behind (print blocked) gets the next line a period
        # from now, not a burst of the lines missed meanwhile.
        next_line = max(next_line + LINE_PERIOD_S, time.monotonic())


def watch(reader, verdict, errors, on_terminal):
    """Shows the readings until q, or a stop signal (raised as Stopped)."""
    if not on_terminal:
        print_samples(reader, verdict)  # ends only by a signal
    try:
        curses.wrapper(view, reader, verdict, errors)
    except (Stopped, curses.error) as error:
        # curses.wrapper restores the terminal first, which fails when it went away (SIGHUP)
        stop = error if isinstance(error, Stopped) else error.__context__
        if not isinstance(stop, Stopped):
            raise CommandError(f"this terminal cannot show the view ({error}); piped into cat, "
                               "monitor prints lines instead", USAGE) from None
        if stop.signum != signal.SIGINT:  # on the full screen Ctrl-C is a way to quit, like q
            raise stop from None


def run(args):
    check_force(args.force, args.max_force)
    on_terminal = sys.stdin.isatty() and sys.stdout.isatty()
    with StopSignals() as stop:
        line, verdict = open_device(args.port)
        arm = line.raw if verdict["kind"] == "arm" else None
        if arm is not None:
            arm.set_read_timeout(ARM_READ_TIMEOUT_S)
            reader = ArmReader(line, args.force)
        elif args.force != list(ZERO_FORCE):
            line.close()
            raise CommandError("--force is for an arm, and this is a handle", USAGE)
        else:
            reader = HandleReader(load_api().Handle(line.stream), line.stream)
        with LibraryErrors() as errors:
            reader.start()
            try:
                watch(reader, verdict, errors, on_terminal)
                return 0
            except Stopped as stopped:
                return stopped.status
            finally:
                stop.disarm()  # a further signal must not cut the zero force short
                reader.stop.set()
                reader.join()
                if arm is not None:
                    zero_force(arm)
                line.close()
