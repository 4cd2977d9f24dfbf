"""``tavix record`` keeps the arm safe and the recording whole: signals, full disks, bad paths,
a silent arm, forces out of bounds. Each run is a ``tavix`` child, as a user runs it."""

import csv
import os
import shutil
import signal
import subprocess

import numpy
import pytest

import children
from children import ended
from fakedevice import ARM_IDENTITY, ZERO_FORCE_FRAME, floats
from tavix_cli import (PUSH, PUSH_SPEED, DevSim, assert_one_line_failure, assert_push_released, command, environment,
                       start_tavix, tavix)
from tmux_pane import SCREEN_WAIT, Pane, needs_tmux

COLUMN_COUNT = 12


@pytest.fixture
def sim():
    """A simulator of its own for each test: its arm starts at rest in the middle of the
    workspace, far from the edge that would slow a pushed arm."""
    with DevSim(arms=1, handles=0) as running:
        yield running


def started(process):
    """Waits for the line ``record`` writes to a log once its first exchange is done."""
    line = process.stderr.readline()
    assert line.startswith("tavix record: recording "), line + process.stderr.read()


def csv_rows(path):
    """The rows of a recording, every one checked to be whole."""
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0][-1] == "replied" and len(rows[0]) == COLUMN_COUNT
    assert all(len(row) == COLUMN_COUNT for row in rows[1:])
    return numpy.array(rows[1:], dtype=float).reshape(-1, COLUMN_COUNT)


def interrupted_count(stdout):
    line = next(line for line in stdout.splitlines() if line.startswith("interrupted after "))
    return int(line.split()[2])


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_stop_signal_ends_the_run_with_every_row_kept_and_zero_force(sim, tmp_path, signum):
    out = tmp_path / "run.csv"
    out.write_text("an older recording\n")
    with ended(start_tavix("record", sim.arms[0], "-o", str(out), "--force", PUSH)) as process:  # no --seconds: until stopped
        started(process)
        process.send_signal(signum)
        stdout, stderr = process.communicate(timeout=30)
    assert process.returncode == 128 + signum, stderr
    assert "Traceback" not in stderr
    table = csv_rows(out)
    assert interrupted_count(stdout) == len(table) > 0
    assert f"({signal.Signals(signum).name})" in stdout
    assert (table[:, 11] == 1).all() and (table[:, 9] == 0.03).all()
    assert os.listdir(tmp_path) == ["run.csv"]  # no temporary file left beside it
    assert_push_released(sim.arms[0], PUSH_SPEED)


def test_more_signals_while_finishing_still_give_a_whole_npz(sim, tmp_path):
    out = tmp_path / "run.npz"
    with ended(start_tavix("record", sim.arms[0], "-o", str(out), "--force", PUSH)) as process:
        started(process)
        for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGINT):
            process.send_signal(signum)
        stdout, stderr = process.communicate(timeout=30)
    # Signals pending together are taken lowest number first: any of them may be the one that stops it.
    assert f"({signal.Signals(process.returncode - 128).name})" in stdout, stderr
    with numpy.load(out) as arrays:
        assert len(arrays["t_s"]) == interrupted_count(stdout) > 0
        assert (numpy.diff(arrays["t_s"]) > 0).all() and (arrays["replied"] == 1).all()
    assert os.listdir(tmp_path) == ["run.npz"]
    assert_push_released(sim.arms[0], PUSH_SPEED)


def test_a_killed_run_leaves_the_older_file_as_it_was(sim, tmp_path):
    out = tmp_path / "run.csv"
    out.write_text("an older recording\n")
    with ended(start_tavix("record", sim.arms[0], "-o", str(out))) as process:
        started(process)
        process.kill()
        process.communicate(timeout=30)
    assert out.read_text() == "an older recording\n"
    assert [name for name in os.listdir(tmp_path) if name != "run.csv"][0].endswith(".tmp")


@needs_tmux
def test_a_closed_terminal_ends_the_run_with_the_file_in_place(sim, tmp_path):
    out = tmp_path / "run.csv"
    before = children.children()
    pane = Pane(command("record", sim.arms[0], "-o", str(out), "--force", PUSH), f"tavix-test-{os.getpid()}-hangup")
    pane.wait_for(r"\d+ exchanges \(Ctrl-C stops\)")  # the progress bar on a terminal
    pane.tmux("kill-server")  # the terminal goes away: its shell gets SIGHUP, and then the recording
    assert not children.wait_for_children_since(before, SCREEN_WAIT)  # the test process adopts them
    assert len(csv_rows(out)) > 0 and os.listdir(tmp_path) == ["run.csv"]
    assert_push_released(sim.arms[0], PUSH_SPEED)


def test_a_silent_arm_gets_rows_marked_unanswered_and_zero_force_last(device, tmp_path):
    out = tmp_path / "silent.csv"
    with ended(start_tavix("record", device.path, "-o", str(out), "--force", PUSH)) as process:
        assert device.received(at_least=1, timeout=10) == b"\x0a"  # the wake-up
        device.send(ARM_IDENTITY)  # and then nothing more
        started(process)
        process.send_signal(signal.SIGTERM)
        stdout, stderr = process.communicate(timeout=30)
    assert process.returncode == 143, stderr
    table = csv_rows(out)
    assert len(table) >= 1 and (table[:, 11] == 0).all() and (table[:, 1:7] == 0).all()
    assert f"{len(table)} of {len(table)} exchanges got no reply from the arm" in stderr
    assert "rate 0 Hz" in stdout
    wire = device.received(timeout=0.5)
    assert wire.endswith(ZERO_FORCE_FRAME) and b"\x2a" + floats(0, 0, 0.03) in wire


def test_ctrl_c_while_waiting_for_the_arm_to_wake_leaves_nothing_behind(device, tmp_path):
    with ended(start_tavix("record", device.path, "-o", str(tmp_path / "r.csv"))) as process:
        assert device.received(at_least=1, timeout=10) == b"\x0a"  # it waits for the arm's answer
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=30)
    assert (process.returncode, stdout, stderr) == (130, "", "")
    assert os.listdir(tmp_path) == []  # not even the temporary file


def test_usage_errors_come_before_the_first_exchange(sim, tmp_path):
    (tmp_path / "folder").mkdir()
    absent = str(tmp_path / "ttyACM7")  # checks that reach the port would say it cannot be opened
    cases = [(["-o", str(tmp_path / "folder")], "cannot write there: it is a directory"),
             (["-o", str(tmp_path / "missing" / "r.csv")], "cannot write there: there is no folder"),
             (["-o", "/proc/r.csv"], "cannot write there"),
             (["-o", "/dev/null"], "not a regular file"),
             (["-o", str(tmp_path / "r.csv"), "--plot", str(tmp_path / "missing" / "r.png")], "there is no folder"),
             (["-o", str(tmp_path / "r.csv"), "--plot", "/proc/r.png"], "/proc/r.png: cannot write there"),
             (["-o", str(tmp_path / "r.csv"), "--plot", str(tmp_path / "r.csv")], "would overwrite the recording"),
             (["-o", str(tmp_path / "r.csv"), "--force", "0,0,100"], "above --max-force"),
             (["-o", str(tmp_path / "r.csv"), "--force", "1e30,0,0"], "above --max-force"),
             (["-o", str(tmp_path / "r.csv"), "--force", "0,0,1e39"], "is not three numbers"),
             (["-o", str(tmp_path / "r.csv"), "--max-force", "inf"], "above zero")]
    for options, text in cases:
        assert_one_line_failure(tavix("record", absent, *options), 2, text)
    assert os.listdir(tmp_path) == ["folder"]
    raised = tavix("record", sim.arms[0], "--seconds", "0.2", "-o", str(tmp_path / "r.csv"), "--force", "0,0,0.5",
                   "--max-force", "0.6")
    assert raised.returncode == 0, raised.stderr


def full_disk_run(sim, tmp_path):
    """``record`` onto a 64 KiB tmpfs in a private mount namespace; what it left there is
    copied to tmp_path/left."""
    small, left = tmp_path / "small", tmp_path / "left"
    small.mkdir()
    left.mkdir()
    script = ('mount -t tmpfs -o size=64k tmpfs "$1" || exit 99; shift; '
              '"$@"; status=$?; cp -a "$0"/. "$0/../left/"; exit $status')
    record = command("record", sim.arms[0], "--seconds", "5", "-o", str(small / "run.csv"), "--force", PUSH)
    return subprocess.run(["unshare", "-m", "sh", "-c", script, str(small), str(small), *record], capture_output=True,
                          text=True, timeout=60, env=environment(), stdin=subprocess.DEVNULL)


def test_a_full_disk_keeps_the_whole_rows_as_partial(sim, tmp_path):
    if shutil.which("unshare") is None or subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode:
        pytest.skip("no private mount namespace here (unshare -m needs root or user namespaces)")
    run = full_disk_run(sim, tmp_path)
    if run.returncode == 99:
        pytest.skip(f"cannot mount a tmpfs: {run.stderr.strip()}")
    assert run.returncode == 1, run.stderr
    assert "Traceback" not in run.stderr
    problem = [line for line in run.stderr.splitlines() if "cannot write" in line]
    assert len(problem) == 1 and "No space left on device" in problem[0] and "run.csv.partial" in problem[0], run.stderr
    assert os.listdir(tmp_path / "left") == ["run.csv.partial"]
    table = csv_rows(tmp_path / "left" / "run.csv.partial")
    assert f"the first {len(table)} exchanges are in" in problem[0] and len(table) > 0
    assert (tmp_path / "left" / "run.csv.partial").read_bytes().endswith(b"\r\n")
    assert_push_released(sim.arms[0], PUSH_SPEED)
