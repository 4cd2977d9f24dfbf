"""The first minutes with an Osmira arm and a Handle, on simulated devices.

Starts the device simulator (tavix-devsim) with one arm and one handle, then:
  1. wakes the arm and prints its identity and identifiers;
  2. renders a virtual wall for a few seconds: a spring force pushes the end effector back
     whenever it crosses a plane, exchanged with the arm as fast as the loop goes (the
     simulator has no hand on the arm, so the force of a simulated hand, a soft spring
     towards a point that swings through the wall and back, is added to the command);
     first with a loop in Python around Osmira.end_effector_force, then with ServoLoop,
     whose native thread renders the same wall and hand spring while Python only moves the
     hand;
  3. prints the two loops' rates and round-trip latency percentiles side by side;
  4. compares the host's kinematics of the joint angles with the arm's own position;
  5. prints a status snapshot of the handle;
  6. saves a plot of position, force and latency over time (with matplotlib, the extra
     ``plot``: ``pip install TavixHardwareAPI[plot]``).

    tavix demo --seconds 3 --plot demo.png
    make demo
"""

import math
import os
import time

import TavixHardwareAPI as api

from tavix_tools.devsim import DevSim
from tavix_tools.stats import latency_summary

WALL_STIFFNESS = 1000.0  # N/m: stiff enough to feel solid, well within what 10 kHz renders stably
HAND_STIFFNESS = 100.0   # N/m: a relaxed grip
HAND_SWING = 0.45        # of the workspace radius, either side of the hand's middle
HAND_PERIOD = 1.5        # s
# The host's binary32 kinematics parts from the simulated arm's double ones by at most 1.8e-7 m
# per component (measured; README, Simulated devices), so by at most 3.1e-7 m in distance.
# 1 um leaves a margin and still fails on a real kinematics fault (a tenth of a millimetre or more).
KINEMATICS_TOLERANCE = 1e-6  # m
SETTLED_SPEED = 1e-4     # m/s
MAX_FORCE = 10.0         # N: what the simulated arm's motors produce at most
MAX_SERVO_RATE = 100000  # iterations per second that the ServoLoop's telemetry has room for
MAX_TELEMETRY = 1 << 22  # the largest telemetry ring a ServoLoop takes
HAND_UPDATE = 0.001      # s between moves of the hand's spring in the ServoLoop run


def identity(arm):
    info = arm.device_wakeup_dict()
    print("== Arm ==")
    print(f"device id {info['device_id']}, model {info['device_model_number']}, "
          f"hardware {info['hardware_version']}, firmware {info['firmware_version']}")
    print(f"identity record uuid  {info['device_id_ext']}")
    print(f"device identifier     {arm.get_device_id()}")
    print(f"firmware identifier   {arm.get_firmware_version()}")
    print(f"powered {arm.get_power_status()}, temperature {arm.get_temperature():.1f}")


class Scene:
    """Along x: the wall, the plane x = `wall` beyond which a spring pushes back, and the
    simulated hand, a spring towards a point that swings from well inside through the wall."""

    def __init__(self, workspace):
        center, radius = workspace["center"][0], workspace["radius"]
        self.wall = center + 0.2 * radius
        self.hand_middle = center + 0.05 * radius
        self.hand_swing = HAND_SWING * radius

    def wall_force(self, x):
        return -WALL_STIFFNESS * (x - self.wall) if x > self.wall else 0.0

    def hand(self, t):
        return self.hand_middle + self.hand_swing * math.sin(2 * math.pi * t / HAND_PERIOD)


def haptic_loop(arm, scene, seconds):
    """Runs the scene for `seconds`; returns the per-iteration record as lists, and the time."""
    log = {"t": [], "x": [], "hand_x": [], "force": [], "latency": []}
    t, xs, hand_xs, forces, latencies = log.values()
    exchange = arm.end_effector_force
    clock = time.perf_counter
    x = exchange([0.0, 0.0, 0.0])[0][0]
    begin = start = clock()
    end = begin + seconds
    while start < end:
        hand_x = scene.hand(start - begin)
        hand = HAND_STIFFNESS * (hand_x - x)
        wall = scene.wall_force(x)
        position, _ = exchange([hand + wall, 0.0, 0.0])
        stop = clock()
        t.append(start - begin)
        xs.append(x)
        hand_xs.append(hand_x)
        forces.append(hand + wall)
        latencies.append(stop - start)
        x = position[0]
        start = stop
    return log, clock() - begin


def servo_loop(arm, scene, seconds, workspace):
    """The same scene rendered by a ServoLoop: the wall is a native one-sided plane and the
    hand a native spring whose centre this thread moves along the swing about once a
    millisecond. Returns the record in the form haptic_loop gives, from the loop's telemetry."""
    _, y, z = workspace["center"]
    samples = min(max(int(seconds * MAX_SERVO_RATE), 1), MAX_TELEMETRY)
    with api.ServoLoop(arm, max_force=MAX_FORCE, telemetry_size=samples) as loop:
        loop.add_wall(point=[scene.wall, y, z], normal=[-1.0, 0.0, 0.0], stiffness=WALL_STIFFNESS)
        hand = loop.add_spring([scene.hand(0.0), y, z], stiffness=HAND_STIFFNESS)
        begin = time.perf_counter()
        while (now := time.perf_counter() - begin) < seconds:
            loop.set_spring(hand, [scene.hand(now), y, z], stiffness=HAND_STIFFNESS)
            time.sleep(HAND_UPDATE)
    record = loop.telemetry()
    replied = record["replied"]
    t = record["time"][replied] - record["time"][0]
    xs = record["position"][replied, 0]
    log = {"t": list(t), "x": list(xs), "hand_x": [scene.hand(v) for v in t],
           "force": list(record["force"][replied, 0]), "latency": list(record["round_trip"][replied])}
    return log, float(t[-1]) if len(t) else 0.0


def loop_figures(log, elapsed, scene):
    """Rate, round-trip percentiles (us) and the deepest press into the wall (mm) of one run."""
    latency = latency_summary([seconds * 1e6 for seconds in log["latency"]])
    return {"rate (Hz)": len(log["latency"]) / elapsed, "round trip p50 (us)": latency["p50"],
            "p99 (us)": latency["p99"], "p99.9 (us)": latency["p99.9"], "max (us)": latency["max"],
            "deepest press (mm)": max(0.0, max(log["x"]) - scene.wall) * 1e3}


def report_loops(runs, scene):
    """Prints the runs' figures side by side: {name: (log, elapsed)}."""
    figures = {name: loop_figures(log, elapsed, scene) for name, (log, elapsed) in runs.items()}
    print("== Haptic loop: the wall in Python, then in ServoLoop ==")
    print(f"{'':22}" + "".join(f"{name:>14}" for name in figures))
    for row in next(iter(figures.values())):
        print(f"{row:22}" + "".join(f"{values[row]:14.1f}" for values in figures.values()))


def settle(arm):
    """Commands no force until the end effector is still (or a second has passed)."""
    deadline = time.monotonic() + 1.0
    while time.monotonic() < deadline:
        _, velocity = arm.end_effector_force([0.0, 0.0, 0.0])
        if math.dist(velocity, (0.0, 0.0, 0.0)) < SETTLED_SPEED:
            return


def check_kinematics(arm):
    """Host kinematics of the reported joint angles against the arm's own position."""
    settle(arm)
    host, _ = arm.get_end_effector_position(False)
    device, _ = arm.get_end_effector_position(True)
    difference = math.dist(host, device)
    verdict = "OK" if difference <= KINEMATICS_TOLERANCE else "MISMATCH"
    print("== Kinematics ==")
    print(f"host   {format_vector(host)} m (from joint angles)")
    print(f"device {format_vector(device)} m")
    print(f"difference {difference * 1e6:.2f} um: {verdict} (tolerance {KINEMATICS_TOLERANCE * 1e6:.0f} um)")
    return verdict == "OK"


def handle_snapshot(handle):
    status = handle.GetHoldraStatus()
    print("== Handle ==")
    if status["battery_level"] == 0.0:  # a failed snapshot: zeros, and the reason in error_flag
        print(f"no status frame from the handle (error_flag {status['error_flag']})")
        return False
    print(f"device id {status['device_id']}, error flag {status['error_flag']}")
    print(f"orientation (quaternion) {format_vector(status['quaternion'], 4)}")
    print(f"buttons {status['buttons']:03b}, hall-effect level {status['hall_effect_sensor_level']}")
    print(f"battery {status['battery_level']:.3f} V")
    return True


def format_vector(values, digits=5):
    return "[" + ", ".join(f"{v:+.{digits}f}" for v in values) + "]"


def save_plot(runs, scene, path):
    """Saves the plot; without matplotlib, says so in one line instead."""
    print("== Plot ==")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("plot skipped: matplotlib is not installed (pip install 'TavixHardwareAPI[plot]')")
        return
    plot(runs, scene, path)
    print(f"saved {os.path.abspath(path)}")


def plot(runs, scene, path):
    """One column per run ({name: (log, elapsed)}): position, commanded force and latency."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(3, len(runs), sharex=True, sharey="row", figsize=(7 * len(runs), 8),
                                layout="constrained", squeeze=False)
    figure.suptitle("Virtual wall on the simulated arm")
    for column, (name, (log, elapsed)) in enumerate(runs.items()):
        position, force, latency = axes[:, column]
        t = log["t"]
        position.set_title(f"{name}: {len(t) / (elapsed or 1):.0f} Hz")
        position.plot(t, [x * 1e3 for x in log["hand_x"]], color="tab:gray", linestyle=":", label="simulated hand")
        position.plot(t, [x * 1e3 for x in log["x"]], color="tab:blue", label="end effector")
        position.axhline(scene.wall * 1e3, color="tab:red", linestyle="--", label="wall")
        position.set_ylabel("x (mm)")
        position.legend(loc="lower right")
        force.plot(t, log["force"], color="tab:red", linewidth=0.8, label="commanded (hand + wall)")
        force.set_ylabel("force x (N)")
        force.legend(loc="lower right")
        us = [v * 1e6 for v in log["latency"]]
        median = sorted(us)[len(us) // 2]
        latency.plot(t, us, ".", markersize=1, color="tab:green", label="round trip")
        latency.axhline(median, color="black", linewidth=0.8, label=f"median {median:.0f} us")
        latency.set_yscale("log")
        latency.set_ylabel("latency (us)")
        latency.set_xlabel("time (s)")
        latency.legend(loc="upper right")
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    figure.savefig(path, dpi=100)
    plt.close(figure)


def run(seconds, plot_path):
    """The whole demo; True when the kinematics check and the handle snapshot passed."""
    print(f"TavixHardwareAPI {api.__version__} (C++ library {api.get_cpp_version()})")
    with DevSim(arms=1, handles=1) as sim:
        print(f"simulated arm on {sim.arms[0]}, handle on {sim.handles[0]}")
        arm = api.Osmira(api.SerialStream(sim.arms[0]), 0.5)
        handle = api.Handle(api.SerialStream(sim.handles[0]))
        identity(arm)
        scene = Scene(sim.workspace)
        runs = {"Python loop": haptic_loop(arm, scene, seconds)}
        settle(arm)
        runs["ServoLoop"] = servo_loop(arm, scene, seconds, sim.workspace)
        report_loops(runs, scene)
        kinematics_ok = check_kinematics(arm)
        handle_ok = handle_snapshot(handle)
        del arm, handle  # close the ports before the simulator goes
    save_plot(runs, scene, plot_path)
    return kinematics_ok and handle_ok
