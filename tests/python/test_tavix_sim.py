"""``tavix sim`` and ``tavix --version`` as a user runs them (a child process), and where the
simulator launcher looks for tavix-devsim."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import sysconfig

import pytest

from children import running, wait_until_gone
from tavix_tools import devsim

VERSION = (pathlib.Path(__file__).resolve().parents[2] / "VERSION").read_text().strip()


def tavix(*args, env=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), **(env or {}))
    return [sys.executable, "-m", "tavix_tools", *args], env


def run_tavix(*args, env=None):
    command, env = tavix(*args, env=env)
    return subprocess.run(command, capture_output=True, text=True, env=env, timeout=30)


def test_version_is_the_projects():
    result = run_tavix("--version")
    assert (result.returncode, result.stdout) == (0, f"tavix {VERSION}\n")


def test_ctrl_c_stops_the_simulator_and_leaves_nothing_behind():
    command, env = tavix("sim", "--arm", "1", "--handle", "1", "--json")
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env) as sim:
        try:
            description = json.loads(sim.stdout.readline())
            assert len(description["arms"]) == 1 and len(description["handles"]) == 1
            assert running(description["pid"])
            sim.send_signal(signal.SIGINT)
            assert sim.wait(10) == 0
            assert sim.stderr.read() == ""
        finally:
            sim.kill()
            sim.wait()
    assert wait_until_gone(description["pid"], 5.0)


@pytest.mark.parametrize("args, status, stream, text", [
    (["--arm", "x"], 2, "stderr", "tavix-devsim: --arm: 'x' is not a count from 0 to 32 (see --help)\n"),
    (["--help"], 0, "stdout", "usage: tavix-devsim [options]\n"),
    (["-h"], 0, "stdout", "usage: tavix-devsim [options]\n"),
], ids=["bad option", "help", "short help"])
def test_options_go_to_the_simulator_unchanged(args, status, stream, text):
    result = run_tavix("sim", *args)
    assert result.returncode == status
    assert getattr(result, stream).startswith(text)
    assert "Traceback" not in result.stderr


def test_a_simulator_that_cannot_run_is_one_line():
    result = run_tavix("sim", env={"TAVIX_DEVSIM": "/nonexistent/tavix-devsim"})
    assert (result.returncode, result.stderr) == (
        1, "tavix sim: cannot run /nonexistent/tavix-devsim: No such file or directory\n")


def executable(folder):
    folder.mkdir(parents=True)
    path = folder / devsim.NAME
    path.write_text("#!/bin/sh\n")
    path.chmod(0o755)
    return str(path)


def test_launcher_prefers_override_then_checkout_then_scripts_folder_then_path(tmp_path, monkeypatch):
    monkeypatch.delenv("TAVIX_DEVSIM", raising=False)
    scripts, on_path = tmp_path / "scripts", executable(tmp_path / "bin")
    monkeypatch.setattr(sysconfig, "get_path", lambda name: str(scripts))
    monkeypatch.setenv("PATH", str(tmp_path / "bin"))
    installed = executable(scripts)

    checkout = tmp_path / "checkout"
    (checkout / "simulator").mkdir(parents=True)
    (checkout / "simulator" / "CMakeLists.txt").touch()
    built = executable(checkout / "build" / "simulator")
    monkeypatch.setattr(devsim, "_CHECKOUT", checkout)
    assert devsim.find_binary() == built
    monkeypatch.setenv("TAVIX_DEVSIM", "/elsewhere/tavix-devsim")
    assert devsim.find_binary() == "/elsewhere/tavix-devsim"

    monkeypatch.delenv("TAVIX_DEVSIM")
    monkeypatch.setattr(devsim, "_CHECKOUT", tmp_path)  # as installed: no checkout around it
    assert devsim.find_binary() == installed
    os.remove(installed)
    assert devsim.find_binary() == on_path
    monkeypatch.setenv("PATH", "")
    with pytest.raises(FileNotFoundError, match=f"tavix-devsim not found \\(searched {scripts}/tavix-devsim and PATH"):
        devsim.find_binary()
