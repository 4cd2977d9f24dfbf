"""tavix-bridge across a link, beside what DDS alone takes over the same link. Two network
namespaces joined by a veth pair (tests/python/netns.py): the simulator and the bridge in one,
the peers in the other. In one run, one after the other:

  - ddsperf ping/pong, 80-byte samples (a PoseStamped's size on the wire) at 500 Hz: one way
    is half its round trip (ddsperf reports per-second percentiles; the figures here are
    their sample-weighted means, so its p99 is a mean of per-second p99s, and it has no p99.9);
  - state to peer: a /arm/pose sample's receive time in the other namespace minus its stamp
    (the midpoint of the servo loop's exchange that brought the state);
  - command to line: a force_command's publication (its stamp) to the frame that carries it
    reaching the simulated arm (the simulator's --trace); each command is a different force
    below the arm's stiction, so it is found on the line by its value, and the arm stays put;
  - the servo loop's rate: the bridge's own count of its ticks (diagnostics rate_hz, without
    the extra exchanges that hurry new commands; the median of the seconds), while it publishes at 500 Hz and takes commands at 500 Hz, against a plain
    ServoLoop at the same fixed rate (the bridge's 1 kHz) alone on a simulated arm.

Goals, printed as met or MISSED: each latency's p50 and p99 within twice ddsperf's one way;
the rate ratio at least 0.9. Prints one Markdown table. Needs root, iproute2 and the bridge
built (CycloneDDS); says why and stops otherwise.

Usage: bridge_latency.py BUILD_DIR [--seconds S]
"""

import argparse
import json
import os
import re
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import netns  # noqa: E402

PAYLOAD = 80          # bytes: a PoseStamped with a short frame id, as serialised
RATE = 500            # Hz: the bridge's publications and the commands
LOOP_RATE = 1000.0    # Hz: the bridge's servo loop
# Commands: 1 mN upwards, 5 uN more each; all below the simulated arm's 20 mN stiction.
FIRST_FORCE, FORCE_STEP = 0.001, 0.000005
DDSPERF_LINE = re.compile(r"size (\d+) .*?50% ([\d.]+)us .*?99% ([\d.]+)us .*?cnt (\d+)")


def binary32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(int(q * len(ordered)), len(ordered) - 1)]


def ddsperf_one_way(net, seconds):
    """(p50, p99) of ddsperf's one-way latency in microseconds, and the round trips counted."""
    pong = net.b.start(["ddsperf", "-D", seconds + 10, "pong"], stdout=subprocess.DEVNULL)
    ping = net.a.run(["ddsperf", "-D", seconds, "-Qminmatch:1", "-Qinitwait:10", "ping", f"{RATE}Hz", "size",
                      PAYLOAD], timeout=seconds + 20)
    pong.send_signal(signal.SIGTERM)
    pong.wait(10)
    rows = [(float(p50), float(p99), int(count)) for _, p50, p99, count in DDSPERF_LINE.findall(ping.stdout)]
    if ping.returncode != 0 or not rows:
        raise RuntimeError(f"ddsperf ping failed ({ping.returncode}): {ping.stdout[-500:]} {ping.stderr[-500:]}")
    total = sum(count for _, _, count in rows)
    p50 = sum(p * count for p, _, count in rows) / total / 2
    p99 = sum(p * count for _, p, count in rows) / total / 2
    return p50, p99, total


def start_simulator(net, build, trace):
    process = net.a.start([os.path.join(build, "simulator", "tavix-devsim"), "--json", "--exit-with-parent",
                           "--arm", 1, "--handle", 0, "--trace", trace])
    return process, json.loads(process.stdout.readline())["arms"][0]


def start_bridge(net, build, port):
    process = net.a.start([os.path.join(build, "bridge", "tavix-bridge"), port, "--rate", RATE])
    # Its start lines end with the command topic's; the loop runs by then.
    while "force_command" not in (line := process.stdout.readline()):
        if not line:
            raise RuntimeError("tavix-bridge did not start")
    return process


def reopen(file):
    file.seek(0)
    return file.read().splitlines()


def bridge_run(net, build, seconds, trace):
    """The bridge under load for `seconds`: state latencies (us), command latencies (us), the
    commands never seen on the line, and the servo rates the bridge reported."""
    peer = os.path.join(build, "bridge", "peer", "tavix-bridge-peer")
    simulator, port = start_simulator(net, build, trace)
    bridge = start_bridge(net, build, port)
    # Into files: a pipe read only at the end would fill and stall the peers.
    with open(trace + ".echo", "w+") as echo_out, open(trace + ".force", "w+") as force_out:
        echo = net.b.start([peer, "echo", "/arm/pose", "/diagnostics", "--seconds", seconds + 1], stdout=echo_out)
        force = net.b.start([peer, "force", "arm", "--force", FIRST_FORCE, 0, 0, "--step", FORCE_STEP, 0, 0,
                             "--rate", RATE, "--seconds", seconds], stdout=force_out)
        force.wait(seconds + 20)
        echo.wait(seconds + 20)
        samples = [json.loads(line) for line in reopen(echo_out)]
        commands = [json.loads(line) for line in reopen(force_out)]
    for process in (bridge, simulator):
        process.send_signal(signal.SIGTERM)
        process.wait(10)

    state = [(s["recv_ns"] - s["stamp_ns"]) / 1e3 for s in samples if s["topic"] == "rt/arm/pose"]
    rates = [int(status["values"]["rate_hz"]) for s in samples if s["topic"] == "rt/diagnostics"
             for status in s["status"]]
    on_line = {}  # force (binary32) -> when it first reached the arm
    with open(trace) as lines:
        for line in lines:
            fields = line.split()
            on_line.setdefault(binary32(float(fields[2])), int(fields[0]))
    sent = [(binary32(c["force"][0]), c["stamp_ns"]) for c in commands if c["force"][0] > 0]
    command = [(on_line[f] - stamp) / 1e3 for f, stamp in sent if f in on_line]
    return state, command, len(sent) - len(command), rates[1:]  # the first second includes the start


def plain_loop_rate(build, seconds):
    """Iterations per second of a ServoLoop at the bridge's rate, alone, on a fresh simulator."""
    import TavixHardwareAPI as api
    from tavix_tools.devsim import DevSim

    with DevSim(arms=1, binary=os.path.join(build, "simulator", "tavix-devsim")) as sim:
        with api.Osmira(api.SerialStream(sim.arms[0]), 1.0) as arm:
            loop = api.ServoLoop(arm, rate_hz=LOOP_RATE, max_force=1.0)
            with loop:
                begun = loop.stats()["iterations"], time.monotonic()
                time.sleep(seconds)  # the measurement's length
                ended = loop.stats()["iterations"], time.monotonic()
    return (ended[0] - begun[0]) / (ended[1] - begun[1])


def verdict(ok):
    return "met" if ok else "MISSED"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--seconds", type=int, default=5)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    missing = netns.unavailable() or ("ddsperf (cyclonedds-tools) is missing" if not shutil.which("ddsperf") else None)
    if not missing and not os.path.exists(os.path.join(build, "bridge", "peer", "tavix-bridge-peer")):
        missing = "tavix-bridge-peer is not built (CycloneDDS not found)"
    if missing:
        print(f"Bridge latency: skipped ({missing})")
        return 0
    sys.path.insert(0, os.path.join(HERE, "..", "python"))

    with netns.NamespacePair() as net, tempfile.TemporaryDirectory() as folder:
        p50, p99, round_trips = ddsperf_one_way(net, args.seconds)
        state, command, unseen, rates = bridge_run(net, build, args.seconds, os.path.join(folder, "trace"))
    plain = plain_loop_rate(build, args.seconds)
    bridged = statistics.median(rates)

    print("| Path (across a veth pair, us) | p50 | p99 | p99.9 | Samples | Within 2x DDS one way (p50, p99) |")
    print("|---|--:|--:|--:|--:|---|")
    print(f"| ddsperf ping/pong one way ({PAYLOAD} B, {RATE} Hz) | {p50:.0f} | {p99:.0f} | n/a | {round_trips} | |")
    for name, values in (("State stamp to /arm/pose sample", state),
                         ("force_command published to its frame on the arm's line", command)):
        q = [percentile(values, f) for f in (0.5, 0.99, 0.999)]
        ok = q[0] <= 2 * p50 and q[1] <= 2 * p99
        print(f"| {name} | {q[0]:.0f} | {q[1]:.0f} | {q[2]:.0f} | {len(values)} | {verdict(ok)} |")
    print()
    print("| Servo loop at 1 kHz | Iterations/s |")
    print("|---|--:|")
    print(f"| In the bridge (diagnostics rate_hz, median of {len(rates)} s) | {bridged:.0f} |")
    print(f"| Plain ServoLoop, alone on a simulated arm | {plain:.0f} |")
    print(f"| Ratio (goal >= 0.9: {verdict(bridged / plain >= 0.9)}) | {bridged / plain:.3f} |")
    if unseen:
        print(f"\n{unseen} commands never reached the line (a newer one came before the next servo tick).")
    return 0


if __name__ == "__main__":
    sys.exit(main())
