"""Runs the device simulator ``tavix-devsim`` for programs, tests and the demo.

    from tavix_tools.devsim import DevSim

    with DevSim(arms=1, handles=1) as sim:
        stream = TavixHardwareAPI.SerialStream(sim.arms[0])

The binary is $TAVIX_DEVSIM when set; else, when this package is imported from a checkout,
the build tree's (build/simulator); else the one installed with the package, in the
environment's scripts folder or on PATH. The simulator is started with --json
--exit-with-parent, so it also ends if this process dies without stopping it.
"""

import json
import os
import signal
import subprocess
import tempfile

from tavix_tools.programs import CHECKOUT, find_program

NAME = "tavix-devsim"
_CHECKOUT = CHECKOUT  # a test may point it elsewhere


def find_binary():
    """Path of the tavix-devsim executable (see programs.find_program)."""
    return find_program(NAME, "TAVIX_DEVSIM", _CHECKOUT, "simulator")


class DevSim:
    """A running simulator: ``arms`` and ``handles`` are lists of slave paths, ``pid`` its
    process id, ``workspace`` the ball ({"center": [x, y, z], "radius": r}) that the arms'
    end effectors are kept in. Further command-line options go in ``options``, for example
    ``["--arm-faults", "drop=3", "--status-hz", "0"]``."""

    def __init__(self, arms=1, handles=0, options=(), binary=None, stop_timeout=5.0):
        self._stop_timeout = stop_timeout
        command = [binary or find_binary(), "--json", "--exit-with-parent",
                   "--arm", str(arms), "--handle", str(handles), *options]
        # A file rather than a pipe: nobody reads it while the simulator runs.
        self._errors = tempfile.TemporaryFile()
        try:
            self._process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                             stderr=self._errors, text=True)
        except OSError:
            self._errors.close()
            raise
        try:
            with self._process.stdout:
                line = self._process.stdout.readline()
        except BaseException:  # interrupted (a test's timeout): the simulator ends with it
            self._process.kill()
            self._process.wait()
            self._errors.close()
            raise
        if not line:
            self._process.wait()
            self._errors.seek(0)
            error = self._errors.read().decode(errors="replace").strip()
            self._errors.close()
            raise RuntimeError(f"tavix-devsim did not start: {error}")
        try:
            description = json.loads(line)
            self.arms = description["arms"]
            self.handles = description["handles"]
            self.pid = description["pid"]
            self.workspace = description["workspace"]
        except (ValueError, KeyError):
            self.pid = self._process.pid
            self.close()
            raise

    def close(self):
        """Stops the simulator (SIGTERM, then SIGKILL after ``stop_timeout`` seconds) and
        returns its exit code. Safe to call more than once."""
        if self._process.returncode is None:
            try:
                os.kill(self.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self._process.wait(self._stop_timeout)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self._errors.close()
        return self._process.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
