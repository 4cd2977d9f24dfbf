"""The device simulator as a program: its launch, output and shutdown, and the frames it
sends read with plain os.read/os.write on the slave paths."""

import ast
import fcntl
import json
import math
import os
import pathlib
import re
import select
import signal
import stat
import struct
import subprocess
import sys
import termios
import time

import pytest

import TavixHardwareAPI as api
from children import ended, running, wait_until_gone
from tavix_tools.devsim import DevSim, find_binary

FRAMED_PAYLOAD = 17
# The host's binary32 kinematics of the reported angles against the simulated arm's double
# ones: measured at most 1.8e-7 m apart per component (simulator/Kinematics.h).
KINEMATICS_TOLERANCE = 1e-6  # m


class Line:
    """The host's end of one simulated device, opened raw."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)

    def close(self):
        os.close(self.fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def read(self, n, timeout=2.0):
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < n:
            ready, _, _ = select.select([self.fd], [], [], max(deadline - time.monotonic(), 0))
            if not ready:
                break
            data += os.read(self.fd, n - len(data))
        return data

    def read_until(self, end, timeout=2.0):
        data = b""
        while not data.endswith(end):
            byte = self.read(1, timeout)
            if not byte:
                break
            data += byte
        return data

    def waiting(self):
        return struct.unpack("i", fcntl.ioctl(self.fd, termios.FIONREAD, b"\0" * 4))[0]


def unescape(body):
    out = bytearray()
    it = iter(body)
    for byte in it:
        if byte == 0xDB:
            out.append({0xDC: 0xC0, 0xDD: 0xDB}[next(it)])
        else:
            assert byte != 0xC0
            out.append(byte)
    return bytes(out)


def read_framed_status(line):
    """Reads one framed status message; returns (raw bytes, decoded fields)."""
    raw = line.read_until(b"\xc0")
    assert raw[0] == 0xDA and raw[-1] == 0xC0, raw.hex()
    body = unescape(raw[1:-1])
    payload, checksum = body[:-1], body[-1]
    assert checksum == (0xDA + sum(payload)) % 256
    assert len(payload) == FRAMED_PAYLOAD
    c = [v / 32768 for v in struct.unpack_from("<4h", payload, 8)]
    return raw, {
        "frame": struct.unpack_from("<H", payload)[0],
        "error_flag": payload[2],
        "hall_effect_sensor_level": payload[3] & 0x1F,
        "buttons": payload[3] >> 5,
        "device_id": payload[4],
        "quaternion": [c[0], -c[1], -c[2], c[3]],
        "battery_level": 3.0 + 0.005 * payload[16],
    }


def test_launcher_reads_the_json_and_stops_by_pid():
    before = set(os.listdir("/proc/self/fd"))
    with DevSim(arms=2, handles=1) as sim:
        assert len(sim.arms) == 2 and len(sim.handles) == 1
        assert len(set(sim.arms + sim.handles)) == 3
        for path in sim.arms + sim.handles:
            assert stat.S_ISCHR(os.stat(path).st_mode)
        assert running(sim.pid)
        assert sim.workspace["radius"] == 0.05 and len(sim.workspace["center"]) == 3
        paths = sim.arms + sim.handles
    assert sim.close() == 0  # SIGTERM is a clean stop; closing again is harmless
    assert not running(sim.pid)
    assert not any(os.path.exists(path) for path in paths)
    assert set(os.listdir("/proc/self/fd")) == before


def test_plain_output_names_each_device_and_sigint_stops_it():
    command = [find_binary(), "--arm", "1", "--handle", "2"]
    with ended(subprocess.Popen(command, stdout=subprocess.PIPE, text=True)) as p:
        lines = [p.stdout.readline().split() for _ in range(3)]
        assert [kind for kind, _ in lines] == ["arm", "handle", "handle"]
        assert all(path.startswith("/dev/pts/") for _, path in lines)
        p.send_signal(signal.SIGINT)
        assert p.wait(5) == 0


def test_a_bad_command_line_is_refused():
    result = subprocess.run([find_binary(), "--arm", "x"], capture_output=True, text=True, timeout=5)
    assert result.returncode == 2
    assert result.stderr == "tavix-devsim: --arm: 'x' is not a count from 0 to 32 (see --help)\n"
    with pytest.raises(RuntimeError, match="unknown fault 'jam'"):
        DevSim(options=["--arm-faults", "jam=1"])


def test_exit_with_parent_ends_with_the_process_that_started_it():
    # A parent that prints the simulator's description and exits at once.
    starter = (
        "import subprocess, sys\n"
        "p = subprocess.Popen([sys.argv[1], '--json', '--exit-with-parent'], stdout=subprocess.PIPE)\n"
        "sys.stdout.write(p.stdout.readline().decode())\n"
    )
    result = subprocess.run([sys.executable, "-c", starter, find_binary()], capture_output=True, text=True,
                            timeout=10)
    pid = json.loads(result.stdout)["pid"]
    assert wait_until_gone(pid, 5.0)


@pytest.mark.parametrize("waiting", [[], ["--spin"]], ids=["sleeping", "spinning"])
def test_arm_answers_raw_requests(waiting):
    with DevSim(arms=1, options=["--device-id", "4660", *waiting]) as sim, Line(sim.arms[0]) as line:
        os.write(line.fd, b"\x0a")
        answer = line.read(22)
        assert answer[0] == 0x0B
        assert struct.unpack_from("<HB", answer, 1) == (4660, 4)

        os.write(line.fd, b"\x2a" + struct.pack("<3f", 0.0, 0.0, 0.0))
        answer = line.read(25)
        assert answer[0] == 0x2B
        position = struct.unpack_from("<3f", answer, 1)
        assert position == pytest.approx(sim.workspace["center"], abs=1e-6)


def binary32(values):
    return struct.unpack(f"<{len(values)}f", struct.pack(f"<{len(values)}f", *map(float, values)))


def test_trace_records_each_force_frame_as_received_and_answered(tmp_path):
    """Two arms: every force frame is one line (time, arm, force as sent, state as answered),
    all of it written by the time a SIGTERM has stopped the simulator."""
    trace = tmp_path / "trace"
    sent = []
    with DevSim(arms=2, options=["--trace", str(trace)]) as sim:
        lines = [Line(path) for path in sim.arms]
        try:
            started = time.time_ns()
            for i in range(300):
                arm, force = i % 2, (0.5, -0.25 * (i % 3), 0.001 * i)
                os.write(lines[arm].fd, b"\x2a" + struct.pack("<3f", *force))
                answer = lines[arm].read(25)
                sent.append((arm, binary32(force), struct.unpack_from("<6f", answer, 1)))
            finished = time.time_ns()
        finally:
            for line in lines:
                line.close()
        assert sim.close() == 0
    rows = [line.split() for line in trace.read_text().splitlines()]
    # Written with 9 digits: the binary32 values exactly, once read back as binary32.
    assert [(int(r[1]), binary32(r[2:5]), binary32(r[5:])) for r in rows] == sent
    times = [int(r[0]) for r in rows]
    assert started <= times[0] and times == sorted(times) and times[-1] <= finished


def settle(arm, target, seconds=3.0):
    """Holds the end effector at `target` until it rests there (or `seconds` have passed)."""
    deadline = time.monotonic() + seconds
    while True:
        position, velocity = arm.end_effector_position(target)
        if (velocity == [0.0, 0.0, 0.0] and math.dist(position, target) < 1e-3) or time.monotonic() > deadline:
            return


def test_host_kinematics_of_the_reported_angles_gives_the_reported_position():
    """The module's kinematics against the simulated arm's own: apart by rounding alone."""
    with DevSim(arms=1) as sim:
        arm = api.Osmira(api.SerialStream(sim.arms[0]), 0.5)
        center, radius = sim.workspace["center"], sim.workspace["radius"]
        for direction in ([0.6, 0.2, -0.4], [0.0, 0.0, 1.0], [-0.4, -0.6, 0.0]):
            settle(arm, [c + radius * d for c, d in zip(center, direction)])
            host, _ = arm.get_end_effector_position(False)
            reported, velocity = arm.get_end_effector_position(True)
            assert velocity == [0.0, 0.0, 0.0]
            assert host == pytest.approx(reported, rel=0, abs=KINEMATICS_TOLERANCE)


def test_handle_streams_framed_status_that_changes_over_time():
    with DevSim(arms=0, handles=1, options=["--status-hz", "200", "--device-id", "7"]) as sim, \
            Line(sim.handles[0]) as line:
        frames = [read_framed_status(line)[1] for _ in range(6)]
    for f in frames:
        assert f["device_id"] == 7 and f["error_flag"] == 0
        assert sum(c * c for c in f["quaternion"]) == pytest.approx(1.0, abs=1e-3)
        assert 0 <= f["hall_effect_sensor_level"] <= 31 and 0 <= f["buttons"] <= 7
        assert 3.3 <= f["battery_level"] <= 4.275
    numbers = [f["frame"] for f in frames]
    assert numbers == sorted(set(numbers))
    assert frames[0]["quaternion"] != frames[-1]["quaternion"]


@pytest.mark.parametrize("device_id, escaped", [(192, b"\xdb\xdc"), (219, b"\xdb\xdd")])
def test_framed_status_escapes_end_and_escape_bytes(device_id, escaped):
    with DevSim(arms=0, handles=1, options=["--device-id", str(device_id)]) as sim, Line(sim.handles[0]) as line:
        raw, fields = read_framed_status(line)
    assert fields["device_id"] == device_id
    assert escaped in raw[1:-1] and b"\xc0" not in raw[1:-1]


def test_stream_keeps_at_most_one_unread_frame():
    with DevSim(arms=0, handles=1, options=["--status-hz", "50"]) as sim, Line(sim.handles[0]) as line:
        read_framed_status(line)
        time.sleep(0.2)  # ten frame periods with nobody reading
        waiting = line.waiting()
        assert 0 < waiting <= 2 + 2 * (FRAMED_PAYLOAD + 1)
        read_framed_status(line)
        assert line.waiting() == 0


def test_stream_pauses_while_the_host_talks_to_the_handle():
    with DevSim(arms=0, handles=1, options=["--status-hz", "200"]) as sim, Line(sim.handles[0]) as line:
        read_framed_status(line)  # the stream runs
        sent = time.monotonic()
        os.write(line.fd, b"\x0a")
        answer = line.read(1)
        while answer == b"\xda":  # a frame already on its way
            line.read_until(b"\xc0")
            answer = line.read(1)
        assert answer + line.read(6) == b"\xd0\x00\x01\x00\x05\x02\x09"
        # Silent for half a second after the request (less a margin for the simulator's clock).
        assert line.read(1, timeout=sent + 0.4 - time.monotonic()) == b""
        read_framed_status(line)  # and then it resumes



README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def readme_handle_examples():
    """The Python examples of the README's handle quickstart, as printed."""
    text = README.read_text()
    section = text[text.index("## Quickstart: the handle"):text.index("## Ctrl-C")]
    return re.findall(r"```python\n(.*?)```", section, re.S)


def test_the_readme_handle_examples_work_as_printed_on_the_simulator():
    """Run as a user runs them, one program after another, on a simulator started as the
    README starts it; the first program leaves a streamed frame unread, which the next one
    must not get (the line is emptied when the last program closes the port)."""
    callbacks, status = readme_handle_examples()
    with DevSim(arms=0, handles=1) as sim:
        with Line(sim.handles[0]) as line:
            read_framed_status(line)
            deadline = time.monotonic() + 1.0
            while line.waiting() == 0 and time.monotonic() < deadline:
                time.sleep(0.002)
            assert line.waiting() > 0
        runs = [subprocess.run([sys.executable, "-c", code.replace("/dev/pts/4", sim.handles[0])],
                               capture_output=True, text=True, timeout=30,
                               env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
                for code in (callbacks, callbacks, status, callbacks)]
    for run in runs:
        assert (run.returncode, run.stderr) == (0, "")
    for run in (runs[0], runs[1], runs[3]):
        information, message = run.stdout.splitlines()
        assert information == "handle 1 model 5 firmware 9"
        assert message.startswith("orientation [") and message.endswith("] user data [1, 2, 3]")
    decoded = ast.literal_eval(runs[2].stdout)
    assert (decoded["device_id"], decoded["error_flag"]) == (1, 0)
    assert sum(q * q for q in decoded["quaternion"]) == pytest.approx(1.0, abs=1e-3)
