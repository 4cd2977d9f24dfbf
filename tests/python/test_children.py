"""No test leaves a process behind: what the suite's fixtures and helpers end, and how."""

import os
import signal
import subprocess
import sys

import pytest

import children

LEAVES_A_GRANDCHILD = (
    "import subprocess\n"
    "print(subprocess.Popen(['sleep', '60']).pid, flush=True)\n"
)


def test_a_failing_block_kills_and_reaps_its_child():
    with pytest.raises(AssertionError):
        with children.ended(subprocess.Popen(["sleep", "60"], stdout=subprocess.PIPE)) as process:
            assert False, "a failing check inside the block"
    assert process.returncode == -signal.SIGKILL
    assert process.stdout.closed


def test_children_left_running_and_the_orphans_they_left_are_ended():
    before = children.children()
    with subprocess.Popen([sys.executable, "-c", LEAVES_A_GRANDCHILD], stdout=subprocess.PIPE, text=True) as parent:
        orphan = int(parent.stdout.readline())
    left_running = subprocess.Popen(["sleep", "60"])
    assert orphan in children.children()  # adopted once its parent ended

    assert sorted(children.end_children_since(before)) == sorted([orphan, left_running.pid])
    assert children.children() == before
    left_running.wait(0)  # its Popen learns that it has been waited for
    with pytest.raises(ChildProcessError):
        os.waitpid(orphan, os.WNOHANG)  # already reaped
