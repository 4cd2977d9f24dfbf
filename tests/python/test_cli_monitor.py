"""``tavix monitor`` in a real terminal: a tmux pane, read back with capture-pane."""

import os
import re
import signal
import time

import pytest

import children
from children import ended
from fakedevice import ARM_IDENTITY, ZERO_FORCE_FRAME, floats
from tavix_cli import PUSH, PUSH_SPEED, DevSim, assert_push_released, command, start_tavix
from tmux_pane import SCREEN_WAIT, Pane, needs_tmux

pytestmark = needs_tmux

@pytest.fixture
def pane_of(request):
    panes = []

    def start(*args):
        pane = Pane(command("monitor", *args), f"tavix-test-{os.getpid()}-{request.node.name}")
        panes.append(pane)
        return pane
    yield start
    for pane in panes:
        pane.close()


def assert_terminal_restored(pane):
    modes = pane.wait_for(r"EXIT=0[\s\S]*(?<!-)\bicanon\b[\s\S]*").group(0)
    assert re.search(r"(?<!-)\becho\b", modes), modes
    assert pane.tmux("display-message", "-p", "#{alternate_on}").strip() == "0"


def test_arm_position_and_rate_change_and_q_restores_the_terminal(pane_of):
    with DevSim(arms=1, handles=0) as sim:
        pane = pane_of(sim.arms[0], "--force", PUSH)  # slow enough to watch it move
        position = pane.wait_for(r"position \(mm\) +x +\S+ +y +\S+ +z +\S+").group(0)
        moved = pane.wait_for(r"position \(mm\) +x +\S+ +y +\S+ +z +\S+", after=position).group(0)
        assert float(moved.split()[-1]) > float(position.split()[-1])  # pushed up along z
        exchanges = pane.wait_for(r"exchanges +(\d+) +rate +(\d+) /s")
        later = pane.wait_for(r"exchanges +(\d+) +rate +(\d+) /s", after=exchanges.group(0))
        assert int(later.group(1)) > int(exchanges.group(1)) and int(later.group(2)) > 0
        assert re.search(r"round trip \(us\) +p50 \d", pane.screen())
        pane.tmux("send-keys", "q")
        assert_terminal_restored(pane)
        assert_push_released(sim.arms[0], PUSH_SPEED)


def test_handle_readings_and_ctrl_c_restores_the_terminal(pane_of):
    with DevSim(arms=0, handles=1) as sim:
        pane = pane_of(sim.handles[0])
        quaternion = pane.wait_for(r"quaternion +\[.*\]").group(0)
        pane.wait_for(r"quaternion +\[.*\]", after=quaternion)
        screen = pane.screen()
        assert re.search(r"battery +4\.\d{3} V", screen) and re.search(r"hall-effect level +\d+", screen)
        pane.tmux("send-keys", "C-c")
        assert_terminal_restored(pane)


def test_an_arm_that_stops_answering_is_shown_and_q_quits_at_once(pane_of, device):
    pane = pane_of(device.path, "--force", PUSH)
    assert device.received(at_least=1, timeout=SCREEN_WAIT) == b"\x0a"  # the wake-up
    device.send(ARM_IDENTITY)  # and then nothing more
    pane.wait_for(r"arm +NOT ANSWERING for [\d.]+ s")
    assert re.search(r"exchanges +0 +rate +0 /s +unanswered [1-9]", pane.screen()), pane.screen()
    pane.tmux("send-keys", "h")
    pane.wait_for(r"h or \? +show or hide these keys")
    wire = device.received()
    pane.tmux("send-keys", "q")
    asked = time.monotonic()
    while not wire.endswith(ZERO_FORCE_FRAME) and time.monotonic() - asked < SCREEN_WAIT:
        wire += device.received(at_least=len(wire) + 1, timeout=0.001)
    took = time.monotonic() - asked
    assert_terminal_restored(pane)
    # An exchange the silent arm does not answer takes the monitor's short read timeout, 20 ms,
    # and q waits for the one under way, where the arm's usual timeout made it a second or two.
    # The bound leaves room for a busy machine's scheduling.
    assert took < 0.5, f"the zero force went out {took:.3f} s after q"
    assert b"\x2a" + floats(0, 0, 0.03) in wire and device.received() == b""  # nothing after it


def test_an_arm_whose_port_closes_is_no_longer_read(pane_of):
    with DevSim(arms=1, handles=0, options=["--arm-faults", "hangup=50"]) as dying:
        pane = pane_of(dying.arms[0])
        pane.wait_for(r"arm +NOT ANSWERING: its port was closed")
        # The request in flight when the line went down may time out before the closed port is
        # seen: one or two unanswered, and then no more (no spinning on the dead port).
        counts = set()
        end = time.monotonic() + 0.3
        while time.monotonic() < end:
            counts.add(re.search(r"unanswered (\d+)\n", pane.screen()).group(1))
        assert counts in ({"1"}, {"2"}), counts
        pane.tmux("send-keys", "q")
        assert_terminal_restored(pane)


def test_a_closed_terminal_ends_the_view_with_zero_force_and_no_traceback(tmp_path):
    errors = tmp_path / "stderr"
    with DevSim(arms=1, handles=0) as sim:
        before = children.children()
        program = command("monitor", sim.arms[0], "--force", PUSH)
        pane = Pane(["sh", "-c", f'exec "$@" 2>{errors}', "sh", *program], f"tavix-test-{os.getpid()}-hangup")
        pane.wait_for(r"arm +answering")
        pane.tmux("kill-server")  # the terminal goes away: its shell gets SIGHUP, and then monitor
        assert not children.wait_for_children_since(before, SCREEN_WAIT)  # the test process adopts them
        assert errors.read_text() == ""
        assert_push_released(sim.arms[0], PUSH_SPEED)


def test_without_a_terminal_a_line_per_sample_until_sigterm_then_zero_force():
    with DevSim(arms=1, handles=0) as sim, ended(start_tavix("monitor", sim.arms[0], "--force", PUSH)) as process:
        assert process.stdout.readline().startswith(f"# tavix monitor  {sim.arms[0]}  arm device id 1: a line every 0.1 s")
        assert process.stdout.readline().split() == ["t_s", "x_mm", "y_mm", "z_mm", "vx_mm_s", "vy_mm_s", "vz_mm_s",
                                                     "exchanges", "rate_per_s", "state"]
        samples = [process.stdout.readline().split() for _ in range(3)]
        process.send_signal(signal.SIGTERM)
        stdout, stderr = process.communicate(timeout=30)
        assert process.returncode == 143, stderr
        assert all(sample[-1] == "answering" and int(sample[7]) > 0 for sample in samples), samples
        assert float(samples[0][3]) < float(samples[1][3]) < float(samples[2][3])  # pushed up along z
        assert 0.05 < float(samples[2][0]) - float(samples[1][0]) < 0.5
        assert_push_released(sim.arms[0], PUSH_SPEED)
