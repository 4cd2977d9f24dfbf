"""Whether a process has ended, for tests that must leave none behind."""

import time


def gone(pid):
    """True once the process has ended (a zombie counts: nobody may be left to reap it)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except FileNotFoundError:
        return True


def wait_until_gone(pid, timeout):
    deadline = time.monotonic() + timeout
    while not gone(pid) and time.monotonic() < deadline:
        time.sleep(0.02)
    return gone(pid)
