"""The haptic demo (tavix demo, make demo) run briefly against the simulator: every section it
prints, a loop that pushes into the wall, a kinematics check that passes, and a readable PNG;
without matplotlib, the same run with the plot skipped."""

import os
import re
import subprocess
import sys

from tavix_tools import demo

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def run_demo(tmp_path, seconds):
    plot = tmp_path / "demo.png"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-m", "tavix_tools", "demo", "--seconds", str(seconds), "--plot", str(plot)],
                            capture_output=True, text=True, env=env, timeout=60)
    return result, plot


def test_demo_prints_every_section_and_saves_the_plot(tmp_path):
    result, plot = run_demo(tmp_path, 0.3)
    out = result.stdout
    assert result.returncode == 0, out + result.stderr
    assert result.stderr == ""
    assert [line for line in out.splitlines() if line.startswith("== ")] == [
        "== Arm ==", "== Haptic loop: the wall in Python, then in ServoLoop ==", "== Kinematics ==", "== Handle ==",
        "== Plot =="]
    assert re.search(r"^device id 1, model 4, hardware \d+, firmware \d+$", out, re.M)
    identifiers = re.findall(r"identifier +([0-9a-f-]{36})$", out, re.M)
    assert len(identifiers) == 2 and "00000000-0000-0000-0000-000000000000" not in identifiers

    assert re.search(r"^ +Python loop +ServoLoop$", out, re.M)
    rows = {m.group(1).strip(): (float(m.group(2)), float(m.group(3)))
            for m in re.finditer(r"^(\S.*?) {2,}([\d.]+) +([\d.]+)$", out, re.M)}
    assert all(rate > 100 for rate in rows["rate (Hz)"])  # each loop made exchanges all along
    for percentiles in zip(*(rows[name] for name in ("round trip p50 (us)", "p99 (us)", "p99.9 (us)", "max (us)"))):
        assert 0 < percentiles[0] <= percentiles[1] <= percentiles[2] <= percentiles[3]
    # The simulated hand reaches the wall within the first tenth of a second, in both runs.
    assert all(press > 0 for press in rows["deepest press (mm)"])

    assert re.search(r"^difference [\d.]+ um: OK", out, re.M)
    assert re.search(r"^orientation \(quaternion\) \[([+-][\d.]+, ){3}[+-][\d.]+\]$", out, re.M)
    assert re.search(r"^buttons [01]{3}, hall-effect level \d+$", out, re.M)
    assert 3.0 <= float(re.search(r"^battery ([\d.]+) V$", out, re.M).group(1)) <= 4.275

    assert out.rstrip().endswith(f"saved {plot}")
    with open(plot, "rb") as f:
        assert f.read(8) == PNG_SIGNATURE
    assert plot.stat().st_size > 20_000  # three panels of data, not an empty figure


def test_without_matplotlib_the_plot_is_skipped_in_one_line(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib raises ImportError
    assert demo.run(0.1, str(tmp_path / "demo.png"))
    out = capsys.readouterr().out
    assert out.endswith("== Plot ==\nplot skipped: matplotlib is not installed (pip install 'TavixHardwareAPI[plot]')\n")
    assert not (tmp_path / "demo.png").exists()
