"""``tavix record PORT --seconds N -o FILE``: the force exchange loop, one row per exchange.

Each exchange is one ``end_effector_force`` call at the force given (zero by default); its
round trip is the wall time of that call. Rows go to CSV, or to NumPy's .npz (one array per
column) when the file name ends in .npz.
"""

import csv
import os
import sys
import time

from tavix_tools.args import force_vector, positive_seconds
from tavix_tools.device import open_device
from tavix_tools.errors import USAGE, CommandError
from tavix_tools.libstderr import LibraryErrors
from tavix_tools.stats import format_latency, latency_summary

NAME = "record"
HELP = "run the force exchange loop on an arm and record every exchange"
ORDER = 40
COLUMNS = ("t_s", "x_m", "y_m", "z_m", "vx_m_s", "vy_m_s", "vz_m_s", "fx_n", "fy_n", "fz_n", "round_trip_us")
PROGRESS_PERIOD_NS = 100_000_000
BAR_WIDTH = 30


def add_arguments(parser):
    parser.add_argument("port", metavar="PORT", help="the arm's port, e.g. /dev/ttyACM0")
    parser.add_argument("--seconds", type=positive_seconds, required=True, metavar="N", help="how long to record")
    parser.add_argument("-o", "--output", required=True, metavar="FILE", help="CSV file, or .npz for NumPy")
    parser.add_argument("--force", type=force_vector, default=[0.0, 0.0, 0.0], metavar="FX,FY,FZ",
                        help="the force to command, in newtons (default 0,0,0)")
    parser.add_argument("--plot", metavar="PNG", help="also draw position and latency over time (matplotlib)")


def draw_progress(stream, elapsed_ns, total_ns, exchanges):
    share = min(elapsed_ns / total_ns, 1.0)
    filled = round(BAR_WIDTH * share)
    stream.write(f"\r[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {100 * share:3.0f}% "
                 f"{elapsed_ns / 1e9:.1f}/{total_ns / 1e9:.1f} s, {exchanges} exchanges")
    stream.flush()


def exchange_loop(arm, force, seconds, progress):
    """One row (the COLUMNS) per exchange for ``seconds``; Ctrl-C ends it early."""
    rows = []
    total_ns = int(seconds * 1e9)
    start = time.perf_counter_ns()
    next_progress = start
    elapsed = 0
    try:
        while elapsed < total_ns:
            before = time.perf_counter_ns()
            position, velocity = arm.end_effector_force(force)
            after = time.perf_counter_ns()
            rows.append(((before - start) / 1e9, *position, *velocity, *force, (after - before) / 1e3))
            elapsed = after - start
            if after >= next_progress:
                draw_progress(progress, elapsed, total_ns, len(rows))
                next_progress = after + PROGRESS_PERIOD_NS
    except KeyboardInterrupt:
        pass  # what was recorded so far is kept
    draw_progress(progress, min(elapsed, total_ns), total_ns, len(rows))
    progress.write("\n")
    return rows


def write_csv(path, rows):
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(COLUMNS)
        writer.writerows(rows)


def write_npz(path, rows):
    import numpy

    table = numpy.array(rows, dtype=float).reshape(len(rows), len(COLUMNS))
    with open(path, "wb") as out:
        numpy.savez(out, **{name: table[:, i] for i, name in enumerate(COLUMNS)})


def plot(path, rows):
    """Position and latency over time in ``path``; False when matplotlib is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    t = [row[0] for row in rows]
    figure, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(9, 6))
    for index, axis in enumerate("xyz", start=1):
        top.plot(t, [1000 * row[index] for row in rows], label=axis)
    top.set_ylabel("position (mm)")
    top.legend(loc="upper right")
    bottom.plot(t, [row[-1] for row in rows], ",")
    bottom.set_ylabel("round trip (us)")
    bottom.set_yscale("log")
    bottom.set_xlabel("time (s)")
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)
    return True


def check_writable(path):
    """Fails before any exchange when the output cannot be written."""
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory) or not os.access(directory, os.W_OK):
        raise CommandError(f"{path}: cannot write there", USAGE)
    if path.endswith(".npz"):
        try:
            import numpy  # noqa: F401
        except ImportError:
            raise CommandError(f"{path}: writing .npz needs NumPy, which is not installed", USAGE) from None


def summarise(rows, path, force, failures):
    duration = rows[-1][0] + rows[-1][-1] / 1e6 if rows else 0.0
    rate = len(rows) / duration if duration > 0 else 0.0
    print(f"recorded {len(rows)} exchanges in {duration:.2f} s to {path} "
          f"(force [{', '.join(f'{f:g}' for f in force)}] N)")
    print(f"rate {rate:.0f} Hz")
    print(f"round trip us: {format_latency(latency_summary([row[-1] for row in rows]))}")
    if failures:
        print(f"tavix record: the library reported {len(failures)} errors, the first: {failures[0]}", file=sys.stderr)


def run(args):
    check_writable(args.output)
    line, _ = open_device(args.port, kinds=("arm",))
    with LibraryErrors() as errors:
        rows = exchange_loop(line.raw, args.force, args.seconds, errors.terminal)
    line.close()
    (write_npz if args.output.endswith(".npz") else write_csv)(args.output, rows)
    failures = errors.new_lines()
    summarise(rows, args.output, args.force, failures)
    if args.plot and not plot(args.plot, rows):
        print("tavix record: matplotlib is not installed, so no plot was drawn", file=sys.stderr)
    return 1 if failures else 0
