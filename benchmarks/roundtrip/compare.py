"""Round trips of the arm's force exchange, interleaved in one run over one pseudo-terminal
against one C responder (13-byte frame in, 25-byte state reply out):

  (a) floor         minimal C loop: one write, busy-poll FIONREAD, one read
  (b) C++ library   Osmira::SendForce + Osmira::ReceiveState
  (c) Python        Osmira.end_effector_force
  (d) pyserial      serial.Serial write + read(25)
  (d) os.read       os.write + blocking os.read loop
  (e) ServoLoop     the iterations of a running ServoLoop (spring, clamp and ramp in the
                    path), as the loop times them

Each variant runs in chunks, rotated round by round, so that all of them see the same
machine state; on a shared virtual machine, where waking an idle processor dominates a round
trip, the ratios to (a) are what can be compared. Prints one Markdown table.

Usage: PYTHONPATH=BUILD_DIR/bindings compare.py BUILD_DIR [--exchanges N] [--rounds R] [--spin]
"""

import argparse
import ctypes
import os
import platform
import statistics
import subprocess
import time
import tty

FRAME = b"\x2a" + bytes(12)  # force (0, 0, 0)
REPLY = 25


def percentile(sorted_values, q):
    return sorted_values[min(len(sorted_values) - 1, int(q * len(sorted_values)))]


def machine():
    model = platform.processor() or "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{os.cpu_count()} CPUs ({model}), Linux {platform.release()}"


class Line:
    """A pseudo-terminal whose master end is served by the responder process."""

    def __init__(self, responder, spin):
        self.master, self._slave = os.openpty()
        tty.setraw(self.master)
        tty.setraw(self._slave)
        self.path = os.ttyname(self._slave)
        # The slave stays open here so that the line is up between chunks; the responder
        # ends when every slave descriptor is closed (its poll sees the hang-up).
        args = [responder, str(self.master)] + (["--spin"] if spin else [])
        self.process = subprocess.Popen(args, pass_fds=[self.master])

    def close(self):
        os.close(self._slave)
        os.close(self.master)
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Variant:
    """`run(n)` makes n exchanges and returns their latencies in seconds; `close()` releases
    what the variant holds open on the line (or dropping the variant does)."""

    def __init__(self, run, close=lambda: None):
        self.run, self.close = run, close


def native_variant(function, path):
    def run(n):
        latencies = (ctypes.c_double * n)()
        done = function(path.encode(), n, latencies)
        if done != n:
            raise RuntimeError(f"only {done} of {n} exchanges completed")
        return list(latencies)
    return Variant(run)


def timed_loop(n, exchange):
    """Latencies of n calls of `exchange`, each timed on its own."""
    clock = time.perf_counter
    out = [0.0] * n
    for i in range(n):
        start = clock()
        exchange()
        out[i] = clock() - start
    return out


def python_variant(path, api):
    exchange = api.Osmira(api.SerialStream(path), 1.0).end_effector_force  # the arm keeps its stream
    force = [0.0, 0.0, 0.0]
    return Variant(lambda n: timed_loop(n, lambda: exchange(force)))


def pyserial_variant(path):
    import serial

    port = serial.Serial(path, 115200, timeout=1.0)

    def exchange():
        port.write(FRAME)
        if len(port.read(REPLY)) != REPLY:
            raise RuntimeError("pyserial: short reply")
    return Variant(lambda n: timed_loop(n, exchange), port.close)


def os_variant(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)

    def run(n):
        # Terminal settings belong to the line, not to the descriptor, and the other variants
        # open it with their own: a blocking read needs raw mode with VMIN 1 again.
        tty.setraw(fd)
        return timed_loop(n, exchange)

    def exchange():
        os.write(fd, FRAME)
        got = 0
        while got < REPLY:
            chunk = os.read(fd, REPLY - got)
            if not chunk:  # the far end has hung up: read() keeps returning nothing
                raise RuntimeError("os.read: line hung up")
            got += len(chunk)
    return Variant(run, lambda: os.close(fd))


def measure(variants, exchanges, rounds):
    """Runs every variant in `rounds` chunks, the order rotated each round."""
    names = list(variants)
    latencies = {name: [] for name in names}
    wall = dict.fromkeys(names, 0.0)
    cpu = dict.fromkeys(names, 0.0)
    chunk = -(-exchanges // rounds)
    for round_index in range(rounds):
        shift = round_index % len(names)
        for name in names[shift:] + names[:shift]:
            wall_start, cpu_start = time.perf_counter(), time.process_time()
            latencies[name] += variants[name].run(chunk)
            wall[name] += time.perf_counter() - wall_start
            cpu[name] += time.process_time() - cpu_start
    return latencies, wall, cpu


def summarize(latencies, wall, cpu):
    """Per variant: (exchanges, median s, p99 s, exchanges per second, CPU per wall second)."""
    rows = {}
    for name, values in latencies.items():
        values = sorted(values)
        rows[name] = (len(values), statistics.median(values), percentile(values, 0.99), len(values) / wall[name],
                      cpu[name] / wall[name])
    return rows


def print_table(rows):
    floor = next(iter(rows.values()))
    print("| Variant | Exchanges | Median us | p99 us | Exchanges/s | CPU s / wall s | Median / (a) | Rate / (a) |")
    print("|---|--:|--:|--:|--:|--:|--:|--:|")
    for name, (n, median, p99, rate, load) in rows.items():
        print(f"| {name} | {n} | {median * 1e6:.1f} | {p99 * 1e6:.1f} | {rate:.0f} | {load:.2f} "
              f"| {median / floor[1]:.2f} | {rate / floor[3]:.2f} |")


def print_targets(rows):
    floor, cpp, python, pyserial = (rows[name] for name in list(rows)[:4])
    servo = rows["(e) ServoLoop iteration"]
    checks = [
        ("(b) median / (a) median", cpp[1] / floor[1], "<=", 1.10),
        ("(e) median / (a) median", servo[1] / floor[1], "<=", 1.05),
        ("(c) median / (a) median", python[1] / floor[1], "<=", 1.25),
        ("(c) rate / pyserial rate", python[3] / pyserial[3], ">=", 1.8),
    ]
    print()
    for label, value, sense, target in checks:
        met = value <= target if sense == "<=" else value >= target
        print(f"{label}: {value:.3f} (target {sense} {target}): {'met' if met else 'MISSED'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", help="the CMake build folder (configured with -DTAVIX_BUILD_BENCHMARKS=ON)")
    parser.add_argument("--exchanges", type=int, default=20000, help="exchanges per variant (default 20000)")
    parser.add_argument("--rounds", type=int, default=50, help="chunks per variant, interleaved (default 50)")
    parser.add_argument("--spin", action="store_true", help="busy-polling responder")
    args = parser.parse_args()

    import TavixHardwareAPI as api  # the build's, on PYTHONPATH (make bench)

    here = os.path.join(args.build, "benchmarks", "roundtrip")
    native = ctypes.CDLL(os.path.join(here, "libtavix_roundtrip.so"))
    for name in ("tavix_bench_floor", "tavix_bench_library", "tavix_bench_servo"):
        getattr(native, name).argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_double)]
        getattr(native, name).restype = ctypes.c_int

    line = Line(os.path.join(here, "tavix-bench-responder"), args.spin)
    variants = {
        "(a) floor: C write/FIONREAD/read": native_variant(native.tavix_bench_floor, line.path),
        "(b) library from C++": native_variant(native.tavix_bench_library, line.path),
        "(c) library from Python": python_variant(line.path, api),
        "(d) pyserial write/read(25)": pyserial_variant(line.path),
        "(d) os.write/os.read": os_variant(line.path),
        "(e) ServoLoop iteration": native_variant(native.tavix_bench_servo, line.path),
    }
    try:
        results = measure(variants, args.exchanges, args.rounds)
    finally:
        for variant in variants.values():
            variant.close()
        variants.clear()  # the Python arm and its stream go with their variant
        line.close()
    rows = summarize(*results)
    print_table(rows)
    print_targets(rows)
    print(f"\nResponder: {'busy-polling' if args.spin else 'blocking poll()'}. Machine: {machine()}.")


if __name__ == "__main__":
    main()
