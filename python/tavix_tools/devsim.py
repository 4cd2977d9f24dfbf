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
import pathlib
import shutil
import signal
import subprocess
import sysconfig
import tempfile

NAME = "tavix-devsim"
# <checkout>/python/tavix_tools/devsim.py; installed, this is not a checkout.
_CHECKOUT = pathlib.Path(__file__).resolve().parents[2]


def _candidates():
    if (_CHECKOUT / "simulator" / "CMakeLists.txt").is_file():
        yield _CHECKOUT / "build" / "simulator" / NAME
    # The scripts folder of the running environment, which need not be on PATH (a virtual
    # environment used without activating it).
    yield pathlib.Path(sysconfig.get_path("scripts")) / NAME
    on_path = shutil.which(NAME)
    if on_path:
        yield pathlib.Path(on_path)


def find_binary():
    """Path of the tavix-devsim executable. $TAVIX_DEVSIM is taken as it is; otherwise
    FileNotFoundError names the places searched when none holds an executable."""
    if os.environ.get("TAVIX_DEVSIM"):
        return os.environ["TAVIX_DEVSIM"]
    searched = []
    for path in _candidates():
        if os.access(path, os.X_OK) and path.is_file():
            return str(path)
        searched.append(str(path))
    raise FileNotFoundError(f"{NAME} not found (searched {', '.join(searched)} and PATH; "
                            "set TAVIX_DEVSIM to its path)")


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
