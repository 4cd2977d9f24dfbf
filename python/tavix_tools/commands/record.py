"""``tavix record PORT -o FILE``: the force exchange loop, one row per exchange.

Each exchange is one ``end_effector_force`` call at the force given (zero by default,
bounded by --max-force); its round trip is the wall time of that call, and ``replied`` says
whether the arm answered it (an unanswered exchange gives zeros, not readings). Rows go to
a temporary file beside FILE as they come, so memory does not grow with the length of the
run, and the file is moved into place once whole; a .npz is streamed as raw float64 rows and
converted at the end. The time given, Ctrl-C, SIGTERM or SIGHUP end the loop, and whichever
way it ends its last exchange commands zero force.
"""

import os
import struct
import sys
import time

from tavix_tools.args import add_force_arguments, check_force, format_force, positive_seconds
from tavix_tools.device import check_open, open_device, zero_force
from tavix_tools.errors import DEVICE_PROBLEM, USAGE, CommandError
from tavix_tools.libstderr import LibraryErrors
from tavix_tools.outfile import PendingFile, RowStream, WriteFailed, open_output
from tavix_tools.signals import Stopped, StopSignals, exit_status
from tavix_tools.stats import LatencyTally, format_latency

NAME = "record"
HELP = "run the force exchange loop on an arm and record every exchange"
ORDER = 40
COLUMNS = ("t_s", "x_m", "y_m", "z_m", "vx_m_s", "vy_m_s", "vz_m_s", "fx_n", "fy_n", "fz_n", "round_trip_us",
           "replied")
PROGRESS_PERIOD_NS = 100_000_000  # also how often rows go to the file
BAR_WIDTH = 30
PLOT_POINTS = 20_000


def add_arguments(parser):
    parser.add_argument("port", metavar="PORT", help="the arm's port, e.g. /dev/ttyACM0")
    parser.add_argument("--seconds", type=positive_seconds, metavar="N",
                        help="how long to record (default: until Ctrl-C)")
    parser.add_argument("-o", "--output", required=True, metavar="FILE", help="CSV file, or .npz for NumPy")
    add_force_arguments(parser, "the force to command")
    parser.add_argument("--plot", metavar="PNG", help="also draw position and latency over time (matplotlib)")


class CsvRows:
    """A header row, then one line of numbers per exchange, written as they come."""
    header = (",".join(COLUMNS) + "\r\n").encode()
    partial_note = ""

    @staticmethod
    def encode(row):
        return (",".join(map(repr, row)) + "\r\n").encode()

    @staticmethod
    def check_available(path):
        pass

    @staticmethod
    def finish(stream, rows):
        stream.commit()


class NpzRows:
    """Raw little-endian float64 rows while recording; one array per column at the end, in
    a .npz written under a temporary name too, so that FILE is whole or not there."""
    header = b""
    partial_note = f" (raw rows of {len(COLUMNS)} little-endian float64, the columns of a .csv)"
    _row = struct.Struct(f"<{len(COLUMNS)}d")

    @classmethod
    def encode(cls, row):
        return cls._row.pack(*row)

    @staticmethod
    def check_available(path):
        try:
            import numpy  # noqa: F401
        except ImportError:
            raise CommandError(f"{path}: writing .npz needs NumPy, which is not installed", USAGE) from None

    @staticmethod
    def finish(stream, rows):
        import numpy

        npz = PendingFile(stream.path)
        try:
            # A memory map, so that the conversion too takes memory independent of the rows.
            table = (numpy.memmap(stream.temp, dtype="<f8", mode="r", shape=(rows, len(COLUMNS))) if rows
                     else numpy.zeros((0, len(COLUMNS))))
            with open(npz.fd, "wb", closefd=False) as out:
                numpy.savez(out, **{name: table[:, i] for i, name in enumerate(COLUMNS)})
            npz.commit()
        finally:
            npz.discard()
        stream.discard()


class Progress:
    """On a terminal, a bar redrawn every PROGRESS_PERIOD_NS; elsewhere (a log) one line when
    the first exchange is done. A terminal that went away (SIGHUP) only ends the drawing."""

    def __init__(self, stream, args, total_ns):
        self.stream, self.total_ns = stream, total_ns
        self.bar = stream.isatty()
        self.started = False
        until = f"for {args.seconds:g} s" if total_ns else "until Ctrl-C"
        self.start_line = f"tavix record: recording {args.port} to {args.output} {until}\n"

    def draw(self, tally):
        if self.bar:
            self._write("\r" + self._bar_text(tally))
        elif not self.started:
            self._write(self.start_line)
        self.started = True

    def end(self, tally):
        if self.bar and self.started:
            self._write("\r" + self._bar_text(tally) + "\n")

    def _bar_text(self, tally):
        elapsed = tally.end_ns
        if self.total_ns is None:
            return f"{elapsed / 1e9:.1f} s, {tally.exchanges} exchanges (Ctrl-C stops)"
        share = min(elapsed / self.total_ns, 1.0)
        filled = round(BAR_WIDTH * share)
        return (f"[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {100 * share:3.0f}% "
                f"{min(elapsed, self.total_ns) / 1e9:.1f}/{self.total_ns / 1e9:.1f} s, {tally.exchanges} exchanges")

    def _write(self, text):
        try:
            self.stream.write(text)
            self.stream.flush()
        except OSError:
            self.bar = False
            self.started = True


class Tally:
    """What the summary says of the exchanges made: how many, how many got no reply, when
    the last ended (ns from the start) and the round trips of those answered."""

    def __init__(self):
        self.exchanges = self.failed = self.end_ns = 0
        self.latency = LatencyTally()

    def add(self, end_ns, round_trip_us, replied):
        self.exchanges += 1
        self.end_ns = end_ns
        if replied:
            self.latency.add(round_trip_us)
        else:
            self.failed += 1


class Thinned:
    """Evenly spaced samples (t, x, y, z, round trip) of a run of unknown length, at most
    ``limit`` of them (even): when full, every other one goes and the spacing doubles. Each
    keeps the longest round trip of the exchanges it stands for, so slow ones still show."""

    def __init__(self, limit):
        self.limit, self.stride, self.samples = limit, 1, []
        self.waiting, self.worst = 0, 0.0

    def add(self, t, position, round_trip_us):
        self.worst = max(self.worst, round_trip_us)
        self.waiting += 1
        if self.waiting < self.stride:
            return
        self.samples.append((t, *position, self.worst))
        self.waiting, self.worst = 0, 0.0
        if len(self.samples) >= self.limit:
            pairs = zip(self.samples[0::2], self.samples[1::2])
            self.samples = [(*later[:4], max(earlier[4], later[4])) for earlier, later in pairs]
            self.stride *= 2


def exchange_loop(line, force, total_ns, rows, tally, stop, progress, thinned):
    """Exchanges until ``total_ns`` have passed (None: until stopped) or the port closes. Stop
    signals raise only during an exchange, so every row is either added whole or not at all."""
    arm = line.raw
    start = time.perf_counter_ns()
    next_tick = start
    while total_ns is None or tally.end_ns < total_ns:
        stop.arm()
        before = time.perf_counter_ns()
        position, velocity = arm.end_effector_force(force)
        after = time.perf_counter_ns()
        stop.disarm()
        replied = arm.last_call_ok
        t, round_trip = (before - start) / 1e9, (after - before) / 1e3
        rows.add((t, *position, *velocity, *force, round_trip, int(replied)))
        tally.add(after - start, round_trip, replied)
        if thinned is not None:
            thinned.add(t, position, round_trip)
        if not replied:
            check_open(line.stream)
        if after >= next_tick:
            rows.flush()
            progress.draw(tally)
            next_tick = after + PROGRESS_PERIOD_NS


def run_exchanges(line, args, rows, tally, stop, progress, thinned):
    """Runs the loop and then zero force, whatever ends it. Returns (how it ended: None when
    the time was up, else the Stopped, WriteFailed or RuntimeError (the library's, or
    PortClosed) that ended it; whether the arm answered the zero-force exchange)."""
    total_ns = None if args.seconds is None else int(args.seconds * 1e9)
    ending = None
    try:
        exchange_loop(line, args.force, total_ns, rows, tally, stop, progress, thinned)
    except (Stopped, WriteFailed, RuntimeError) as reason:
        ending = reason
    finally:
        stop.disarm()  # from here on a signal is only remembered: the finishing is not cut short
        zeroed = zero_force(line.raw)
    if not isinstance(ending, WriteFailed):
        try:
            rows.flush()
        except WriteFailed as failure:
            ending = failure
    return ending, zeroed


def finish_file(output, form, rows, ending):
    """Moves the recording into place, or keeps what there is as FILE.partial. Returns
    (where the rows are, a problem line or None)."""
    if isinstance(ending, WriteFailed):
        kept = output.keep_as_partial()
        return kept, f"cannot write {output.path}: {ending}; the first {ending.rows} exchanges are in {kept}" \
                     f"{form.partial_note}"
    try:
        form.finish(output, rows.rows)
    except OSError as error:
        kept = output.keep_as_partial()
        return kept, f"cannot write {output.path}: {error.strerror}; the {rows.rows} exchanges are in {kept}" \
                     f"{form.partial_note}"
    return output.path, None


def say(text, stream="stdout"):
    """Prints a line of the report. An output that went away (a terminal closed by SIGHUP)
    only silences the rest: by then the recording is safe, and the exit status still tells."""
    try:
        print(text, file=getattr(sys, stream), flush=True)
    except OSError:
        setattr(sys, stream, open(os.devnull, "w"))


def summarise(where, written, force, tally, ending):
    duration = tally.end_ns / 1e9
    answered = tally.exchanges - tally.failed
    rate = answered / duration if duration > 0 else 0.0
    say(f"recorded {written} exchanges in {duration:.2f} s to {where} "
        f"(force {format_force(force)} in the arm's force unit)")
    say(f"rate {rate:.0f} Hz" + (" (exchanges the arm answered)" if tally.failed else ""))
    say(f"round trip us: {format_latency(tally.latency.summary())}")
    if isinstance(ending, Stopped):
        say(f"interrupted after {tally.exchanges} exchanges ({ending.name})")


def device_problems(tally, ending, zeroed, library_lines):
    """One line for each thing that went wrong on the arm's side."""
    problems = []
    if tally.failed:
        problems.append(f"{tally.failed} of {tally.exchanges} exchanges got no reply from the arm "
                        "(replied 0: their position and velocity are not readings)")
    if isinstance(ending, RuntimeError):
        problems.append(f"the arm's line failed: {ending}")
    if not zeroed:
        problems.append("the arm did not answer the final zero-force exchange: it may still be pushing")
    if library_lines:
        problems.append(f"the library reported {len(library_lines)} errors, the first: {library_lines[0]}")
    return problems


def plot(path, samples):
    """Draws position and latency over time in ``path``; returns a problem line, or None."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:  # a note, not a failure: the recording is what was asked for
        say("tavix record: matplotlib is not installed, so no plot was drawn", "stderr")
        return None
    columns = list(zip(*samples)) or [[]] * 5
    figure, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(9, 6))
    for index, axis in enumerate("xyz", start=1):
        top.plot(columns[0], [1000 * value for value in columns[index]], label=axis)
    top.set_ylabel("position (mm)")
    top.legend(loc="upper right")
    bottom.plot(columns[0], columns[4], ",")
    bottom.set_ylabel("round trip (us)")
    bottom.set_yscale("log")
    bottom.set_xlabel("time (s)")
    figure.tight_layout()
    try:
        image = PendingFile(path)
        try:
            figure.savefig(image.temp, format=os.path.splitext(path)[1][1:].lower() or "png")
            image.commit()
        finally:
            image.discard()
    except (OSError, ValueError) as error:  # ValueError: a file name ending matplotlib cannot draw
        return f"no plot drawn in {path}: {getattr(error, 'strerror', None) or error}"
    finally:
        plt.close(figure)
    say(f"plot in {path}")
    return None


def record(line, args, output, form, stop):
    """Records into ``output``; returns the exit status. Whatever fails, rows written stay."""
    try:
        rows = RowStream(output.fd, form.encode, form.header)
    except WriteFailed as failure:
        raise CommandError(f"cannot write {args.output}: {failure}") from None
    try:
        return record_rows(line, args, output, form, stop, rows)
    except BaseException:
        if output.temp is not None and rows.rows:  # a failure nobody foresaw: the rows are kept all the same
            say(f"tavix record: the rows recorded are in {output.keep_as_partial()}", "stderr")
        raise


def record_rows(line, args, output, form, stop, rows):
    """The exchanges, the file moved into place, the summary and plot; the exit status."""
    tally = Tally()
    thinned = Thinned(PLOT_POINTS) if args.plot else None
    with LibraryErrors() as errors:
        progress = Progress(errors.terminal, args, None if args.seconds is None else int(args.seconds * 1e9))
        ending, zeroed = run_exchanges(line, args, rows, tally, stop, progress, thinned)
        progress.end(tally)
    where, file_problem = finish_file(output, form, rows, ending)
    summarise(where, rows.rows, args.force, tally, ending)
    problems = [file_problem] if file_problem else []
    problems += device_problems(tally, ending, zeroed, errors.new_lines())
    if args.plot:
        problems += filter(None, [plot(args.plot, thinned.samples)])
    for problem in problems:
        say(f"tavix record: {problem}", "stderr")
    if stop.signum is not None:
        return exit_status(stop.signum)
    return DEVICE_PROBLEM if problems else 0


def run(args):
    check_force(args.force, args.max_force)
    form = NpzRows if args.output.endswith(".npz") else CsvRows
    form.check_available(args.output)
    if args.plot:
        open_output(args.plot).discard()  # a file can be made there: the plot is drawn only at the end
        if os.path.realpath(args.plot) == os.path.realpath(args.output):
            raise CommandError(f"{args.plot}: the plot would overwrite the recording", USAGE)
    output = open_output(args.output)
    try:
        with StopSignals() as stop:
            line, _ = open_device(args.port, kinds=("arm",))
            try:
                return record(line, args, output, form, stop)
            finally:
                line.close()
    finally:
        output.discard()
