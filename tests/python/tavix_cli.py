"""Runs the ``tavix`` command line in a subprocess, as a user would, and the simulator."""

import json
import os
import subprocess
import sys
import time

import TavixHardwareAPI

from tavix_tools.devsim import DevSim  # noqa: F401  (the tests' simulator, for the callers of this module)

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_DIR = os.path.normpath(os.path.join(HERE, "..", "..", "python"))
# A gentle push for the simulated arm: it moves at PUSH_SPEED (m/s, the force over its damping
# of 4 N s/m) while pushed, slow enough to stay inside its workspace for seconds.
PUSH, PUSH_SPEED = "0,0,0.03", 0.03 / 4.0


def environment(extra_path=()):
    """The environment of a tavix child: the package, the built module and the tests' path."""
    path = os.pathsep.join([*extra_path, PACKAGE_DIR, *sys.path])
    return dict(os.environ, PYTHONPATH=path)


def command(*args):
    return [sys.executable, "-m", "tavix_tools", *args]


def tavix(*args, timeout=60, extra_path=()):
    """A finished ``tavix`` run: returncode, stdout, stderr (text)."""
    return subprocess.run(command(*args), capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL,
                          env=environment(extra_path))


def start_tavix(*args, extra_path=()):
    """A running ``tavix``, its standard output and error as text pipes."""
    return subprocess.Popen(command(*args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=environment(extra_path))


def arm_velocity(port):
    """The velocity the arm on ``port`` reports: one exchange at zero force, which the
    simulated arm answers with the motion the previous command left it in. A reply that the
    previous program gave up on (a loaded machine) may still be on its way: it would answer
    this exchange with the motion of its own moment, so the line is given 0.1 s to bring it
    and then emptied (a force left on still shows: it holds the arm at its speed)."""
    arm = TavixHardwareAPI.Osmira(TavixHardwareAPI.SerialStream(port), 1.0)
    time.sleep(0.1)
    arm.flush_input()
    return arm.end_effector_force([0.0, 0.0, 0.0])[1]


def assert_push_released(port, push_speed):
    """The last command of a run that pushed the simulated arm at its terminal speed
    ``push_speed`` (m/s) was zero force: its speed decays (time constant 25 ms) from the
    moment that command came, where a force left on would hold it at ``push_speed``. The
    tool's exit and this exchange take milliseconds, so it has fallen by a fifth at least."""
    speed = max(map(abs, arm_velocity(port)))
    assert speed < 0.8 * push_speed, f"the arm still moves at {speed * 1000:.2f} mm/s"


def tavix_json(*args, **kwargs):
    run = tavix(*args, "--json", **kwargs)
    return run, json.loads(run.stdout)


def assert_one_line_failure(run, status, text):
    """A failure the way the tool reports it: its status, one line naming it, no traceback."""
    assert run.returncode == status, run.stderr
    assert "Traceback" not in run.stderr
    lines = [line for line in run.stderr.splitlines() if not line.startswith("usage:") and line.startswith("tavix")]
    assert len(lines) == 1 and text in lines[0], run.stderr
