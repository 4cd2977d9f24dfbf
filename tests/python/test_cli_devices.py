"""``tavix list``, ``info`` and ``record`` end to end against the simulator."""

import csv
import os

import numpy
import pytest

from tavix_cli import DevSim, assert_one_line_failure, tavix, tavix_json

COLUMNS = ["t_s", "x_m", "y_m", "z_m", "vx_m_s", "vy_m_s", "vz_m_s", "fx_n", "fy_n", "fz_n", "round_trip_us", "replied"]


@pytest.fixture(scope="module")
def sim():
    with DevSim(arms=1, handles=1) as running:
        yield running


def inside_workspace(position, workspace):
    offset = [p - c for p, c in zip(position, workspace["center"])]
    return sum(d * d for d in offset) ** 0.5 <= workspace["radius"] + 1e-6


def test_list_tells_arm_handle_and_a_missing_port(sim, tmp_path):
    missing = str(tmp_path / "ttyACM9")
    run, found = tavix_json("list", "--port", sim.arms[0], "--port", sim.handles[0], "--port", missing)
    assert run.returncode == 0, run.stderr
    verdicts = {entry["port"]: entry for entry in found["ports"]}
    arm, handle, absent = verdicts[sim.arms[0]], verdicts[sim.handles[0]], verdicts[missing]
    assert (arm["kind"], arm["identity"]["device_id"], arm["identity"]["model"]) == ("arm", 1, 4)
    assert len(arm["identity"]["uuid"]) == 36
    assert (handle["kind"], handle["identity"]["device_id"], handle["link"]) == ("handle", 1, "wired")
    assert (absent["kind"], absent["errno"]) == ("unopenable", 2)
    text = tavix("list", "--port", sim.arms[0], "--port", missing)
    assert f"uuid {arm['identity']['uuid']}" in text.stdout
    assert "cannot open: No such file or directory" in text.stdout


def test_misbehaving_lines():
    faults = ["--arm-faults", "0:flood=3", "--arm-faults", "1:drip=2", "--arm-faults", "2:garbage=1",
              "--arm-faults", "3:drop=2"]
    with DevSim(arms=4, handles=0, options=faults) as sim:
        run, found = tavix_json("list", *(arg for arm in sim.arms[:3] for arg in ("--port", arm)))
        info = tavix("info", sim.arms[3])  # the wake-up is answered, the first query is not
    flooded, dripping, noisy = found["ports"]
    assert flooded["kind"] == dripping["kind"] == "arm"
    assert noisy["kind"] == "unknown" and 0x60 <= bytes.fromhex(noisy["answer"])[0] <= 0x7F  # garbage first
    assert info.returncode == 1 and "[err] Library/src/Device" in info.stderr
    assert "not answered (shown as zeros): " in info.stdout


def test_info_on_an_arm(sim):
    run, arm = tavix_json("info", sim.arms[0])
    assert run.returncode == 0, run.stderr
    assert (arm["kind"], arm["identity"]["model"], arm["errors"]) == ("arm", 4, [])
    assert arm["device_identifier"] == arm["identity"]["uuid"]
    assert arm["firmware_identifier"] != arm["device_identifier"]
    assert arm["powered"] is True and 20 < arm["temperature"] < 40
    assert inside_workspace(arm["position"], sim.workspace)
    text = tavix("info", sim.arms[0]).stdout
    assert f"device identifier     {arm['device_identifier']}" in text
    assert "powered True" in text and " mm" in text


def test_info_on_a_handle(sim):
    run, handle = tavix_json("info", sim.handles[0])
    assert run.returncode == 0, run.stderr
    assert (handle["kind"], handle["link"], handle["information"]["device_id"]) == ("handle", "wired", 1)
    status = handle["status"]
    assert status["error_flag"] == 0 and 3.3 <= status["battery_level"] <= 4.2
    assert abs(sum(q * q for q in status["quaternion"]) - 1) < 1e-3
    assert "battery 4." in tavix("info", sim.handles[0]).stdout


def test_info_on_a_handle_that_streams_no_status_exits_1():
    with DevSim(arms=0, handles=1, options=["--status-hz", "0"]) as quiet:
        run = tavix("info", quiet.handles[0])
    assert run.returncode == 1
    assert "status: none (nothing arrived 99)" in run.stdout


def test_record_csv_rows_follow_the_commanded_force(sim, tmp_path):
    out = tmp_path / "push.csv"
    run = tavix("record", sim.arms[0], "--seconds", "0.5", "-o", str(out), "--force", "0,0,0.5")
    assert run.returncode == 0, run.stderr
    with open(out) as f:
        rows = list(csv.reader(f))
    assert rows[0] == COLUMNS
    table = numpy.array(rows[1:], dtype=float)
    assert len(table) > 10
    assert (numpy.diff(table[:, 0]) > 0).all() and (table[:, 10] > 0).all()
    assert (table[:, 7:10] == [0, 0, 0.5]).all() and (table[:, 11] == 1).all()
    assert table[-1, 3] > table[0, 3]  # pushed up along z
    assert f"recorded {len(table)} exchanges" in run.stdout
    assert run.stderr == f"tavix record: recording {sim.arms[0]} to {out} for 0.5 s\n"  # no progress bar in a log
    ordered = numpy.sort(table[:, 10])
    nearest_rank = {p: ordered[int(numpy.ceil(p / 100 * len(ordered))) - 1] for p in (50, 99.9)}
    assert f"p50 {nearest_rank[50]:.1f}, " in run.stdout and f"p99.9 {nearest_rank[99.9]:.1f}, " in run.stdout


def test_record_npz_and_plot(sim, tmp_path):
    out, png = tmp_path / "rest.npz", tmp_path / "rest.png"
    run = tavix("record", sim.arms[0], "--seconds", "0.3", "-o", str(out), "--plot", str(png))
    assert run.returncode == 0, run.stderr
    with numpy.load(out) as arrays:
        assert sorted(arrays.files) == sorted(COLUMNS)
        assert len(arrays["t_s"]) == len(arrays["round_trip_us"]) > 10
        assert (arrays["fz_n"] == 0).all()
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert f"plot in {png}" in run.stdout


def test_record_without_matplotlib_says_so_in_one_line(sim, tmp_path):
    hidden = tmp_path / "hide" / "matplotlib"
    hidden.mkdir(parents=True)
    (hidden / "__init__.py").write_text("raise ImportError('hidden by the test')\n")
    run = tavix("record", sim.arms[0], "--seconds", "0.1", "-o", str(tmp_path / "r.csv"),
                "--plot", str(tmp_path / "r.png"), extra_path=[str(hidden.parent)])
    assert run.returncode == 0, run.stderr
    assert "matplotlib is not installed" in run.stderr and not os.path.exists(tmp_path / "r.png")


def test_record_reports_a_line_that_hangs_up(tmp_path):
    with DevSim(arms=1, handles=0, options=["--arm-faults", "hangup=5"]) as dying:
        run = tavix("record", dying.arms[0], "--seconds", "1.5", "-o", str(tmp_path / "r.csv"))
    assert run.returncode == 1
    assert "the library reported" in run.stderr and "[err] Library/src/Device" in run.stderr
    with open(tmp_path / "r.csv") as f:
        table = numpy.array(list(csv.reader(f))[1:], dtype=float)
    answered = table[:, 11] == 1
    assert answered[:-1].all() and not answered[-1] and (table[-1, 1:7] == 0).all()  # it ends once the port closes
    assert f"1 of {len(table)} exchanges got no reply" in run.stderr and "its port was closed" in run.stderr


def test_failures_are_one_line(sim, tmp_path):
    absent = str(tmp_path / "ttyACM4")
    assert_one_line_failure(tavix("info", absent), 1, f"{absent}: cannot open: No such file or directory")
    assert_one_line_failure(tavix("record", sim.handles[0], "--seconds", "1", "-o", str(tmp_path / "x.csv")), 1,
                            "this is a handle, not an arm")
    assert_one_line_failure(tavix("record", sim.arms[0], "--seconds", "0", "-o", "x.csv"), 2,
                            "not a number of seconds above zero")
    assert_one_line_failure(tavix("record", sim.arms[0], "--seconds", "1", "-o", "x.csv", "--force", "1,x,2"), 2,
                            "is not three numbers")
    assert_one_line_failure(tavix("record", sim.arms[0], "--seconds", "1", "-o", str(tmp_path / "no" / "x.csv")), 2,
                            "cannot write there")
    assert_one_line_failure(tavix("list", "--timeout", "-1"), 2, "not a number of seconds above zero")
    assert_one_line_failure(tavix("list", "--timeout", "1e6", "--port", sim.arms[0]), 2, "at most a day")
    assert_one_line_failure(tavix("monitor", sim.arms[0], "--force", "0,0,1.5"), 2, "above --max-force 1")


def test_usage_errors_are_one_line_from_the_parser_they_belong_to():
    assert_one_line_failure(tavix("--foo"), 2, "tavix: unrecognized arguments: --foo (see tavix --help)")
    assert_one_line_failure(tavix("list", "--bogus"), 2,
                            "tavix list: unrecognized arguments: --bogus (see tavix list --help)")
    assert_one_line_failure(tavix("lsit"), 2, "maybe you meant 'list'?")
    assert_one_line_failure(tavix(), 2, "tavix: a command is required, one of: list, info,")
    for run in (tavix("--foo"), tavix("info")):
        assert len(run.stderr.splitlines()) == 1, run.stderr  # no usage block above the error
    help_text = tavix("--help").stdout
    assert "tavix: find, diagnose" in help_text and "``" not in help_text
