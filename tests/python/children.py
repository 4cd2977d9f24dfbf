"""Child processes of the test process, and how every one a test starts ends with the test.

The test process is made the reaper of its orphaned descendants (PR_SET_CHILD_SUBREAPER), so a
grandchild whose parent ended first (a simulator started by a short-lived parent, responders
forked inside a discovery child, the simulator of a demo that was killed) becomes this
process's child, to be killed and waited for here rather than left to the system.
"""

import contextlib
import ctypes
import glob
import os
import signal
import time

_PR_SET_CHILD_SUBREAPER = 36
_MAX_GENERATIONS = 100  # each round reaps one generation of descendants; no test goes deeper


def adopt_orphans():
    """Makes orphaned descendants of this process its children."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(_PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error))


def children():
    """Process ids of this process's children, zombies included."""
    pids = set()
    for path in glob.glob(f"/proc/{os.getpid()}/task/*/children"):
        try:
            with open(path) as f:
                pids.update(int(pid) for pid in f.read().split())
        except FileNotFoundError:  # a thread that ended meanwhile
            pass
    return pids


def running(pid):
    """True while `pid` runs (a zombie has ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except FileNotFoundError:
        return False


def running_since(before):
    """Children not in ``before`` that still run."""
    return [pid for pid in children() - before if running(pid)]


def wait_for_children_since(before, timeout):
    """Waits until every child not in ``before`` (orphans adopted meanwhile included) has
    ended; returns those still running after ``timeout`` seconds."""
    deadline = time.monotonic() + timeout
    while running_since(before) and time.monotonic() < deadline:
        time.sleep(0.02)
    return running_since(before)


def wait_until_gone(pid, timeout):
    """True once `pid` has ended, within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while running(pid) and time.monotonic() < deadline:
        time.sleep(0.02)
    return not running(pid)


def kill_and_reap(pid):
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    try:
        os.waitpid(pid, 0)
    except ChildProcessError:  # waited for meanwhile by its own Popen
        pass


def end_children_since(before):
    """Kills and reaps every child not in `before`, and then the orphans they leave behind.
    Returns the ids of those that were still running."""
    left_running = []
    for _ in range(_MAX_GENERATIONS):
        new = children() - before
        if not new:
            break
        for pid in new:
            if running(pid):
                left_running.append(pid)
            kill_and_reap(pid)
    return left_running


@contextlib.contextmanager
def ended(process):
    """Runs the block with `process` (a subprocess.Popen), then kills it if it still runs, and
    waits for it, even when the block fails."""
    with process:
        try:
            yield process
        finally:
            if process.poll() is None:
                process.kill()
