"""A program in a real terminal: a tmux pane, read back with capture-pane."""

import contextlib
import os
import re
import shlex
import shutil
import signal
import subprocess
import time

import pytest

import children
from tavix_cli import environment

needs_tmux = pytest.mark.skipif(shutil.which("tmux") is None, reason="tmux is not installed (Debian package tmux)")

SCREEN_WAIT = 20.0  # seconds for the screen to show what a test waits for


class Pane:
    """One detached tmux session of its own server, running ``program`` and then printing its
    exit status and the terminal's modes, so that what the program left behind shows."""

    def __init__(self, program, socket):
        self.socket = socket
        shell = f"{shlex.join(program)}; echo EXIT=$?; stty -a; exec cat"
        self.tmux("new-session", "-d", "-x", "110", "-y", "30", shell)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null", *args], capture_output=True, text=True,
                              env=environment(), check=True).stdout

    def screen(self):
        return self.tmux("capture-pane", "-p")

    def wait_for(self, pattern, after=None):
        """The first match of ``pattern`` on a screen that differs from ``after``."""
        deadline = time.monotonic() + SCREEN_WAIT
        while time.monotonic() < deadline:
            match = re.search(pattern, self.screen())
            if match and match.group(0) != after:
                return match
            time.sleep(0.05)
        raise AssertionError(f"never saw {pattern!r} (after {after!r}) on:\n{self.screen()}")

    def close(self):
        """Ends the server and the pane's processes, and waits until each is gone: the server
        daemonises, so the test process (their reaper, see children.py) inherits them."""
        pids = [int(pid) for pid in self.tmux("display-message", "-p", "#{pid} #{pane_pid}").split()]
        for pid in pids[1:]:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(pid, signal.SIGKILL)  # the pane's session: its shell and what it runs
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)
        deadline = time.monotonic() + SCREEN_WAIT
        while any(map(children.running, pids)) and time.monotonic() < deadline:
            for pid in pids:
                with contextlib.suppress(ChildProcessError):
                    os.waitpid(pid, os.WNOHANG)
            time.sleep(0.01)
