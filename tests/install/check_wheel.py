"""The Python distribution as a user gets it: builds the wheel once, checks its contents,
installs it into a new virtual environment and checks everything from there, never from the
checkout: the module and its typed interface, ``tavix --version``, ``tavix sim`` driven
through an arm, Ctrl-C on it, a bad simulator option, and ``tavix demo`` without matplotlib.

usage: python3.14 tests/install/check_wheel.py WORK_DIR   (make install-check)

Needs no package index: the build uses this interpreter's scikit-build-core and pybind11.
"""

import importlib.util
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time
import zipfile

from children import wait_until_gone  # tests/python, on PYTHONPATH (make install-check)

SOURCE = pathlib.Path(__file__).resolve().parents[2]
VERSION = (SOURCE / "VERSION").read_text().strip()
TIMEOUT = 300  # the wheel build compiles the library, the module and the simulator

# What a wheel without any one of them would lose: the module, its typed interface (beside it
# and as a stub-only package), the command line with the launcher and the demo, the simulator.
REQUIRED = [
    r"TavixHardwareAPI\.cpython-314-[^/]+\.so",
    r"TavixHardwareAPI\.pyi",
    r"TavixHardwareAPI-stubs/__init__\.pyi",
    r"tavix_tools/(__init__|__main__|cli|errors|devsim|demo)\.py",
    r"tavix_tools/commands/(__init__|sim|demo|bridge)\.py",
    r"tavixhardwareapi-[\d.]+\.data/scripts/tavix-devsim",
]


class CheckFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CheckFailed(message)


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, timeout=kwargs.pop("timeout", 60), **kwargs)
    check(result.returncode == 0, f"{' '.join(map(str, command))} exited with {result.returncode}:\n"
                                  f"{result.stdout}{result.stderr}")
    return result.stdout


def build_wheel(work):
    started = time.monotonic()
    run([sys.executable, "-m", "pip", "wheel", str(SOURCE), "--no-build-isolation", "--no-deps", "--no-index",
         "-q", "-w", str(work / "dist"), "-C", f"build-dir={work / 'wheel-build'}"], timeout=TIMEOUT)
    wheels = list((work / "dist").glob("*.whl"))
    check(len(wheels) == 1, f"expected one wheel, got {wheels}")
    print(f"built {wheels[0].name} in {time.monotonic() - started:.0f} s")
    return wheels[0]


def check_contents(wheel):
    with zipfile.ZipFile(wheel) as archive:
        infos = {info.filename: info for info in archive.infolist()}
        metadata = archive.read(next(name for name in infos if name.endswith(".dist-info/METADATA"))).decode()
        entry_points = archive.read(next(name for name in infos if name.endswith(".dist-info/entry_points.txt")))
    for name in sorted(infos):
        print(f"  {name}")
    names = list(infos)
    for pattern in REQUIRED:
        wanted = re.compile(pattern)
        check(any(wanted.fullmatch(name) for name in names), f"nothing in the wheel matches {pattern}")
    simulator = next(info for name, info in infos.items() if name.endswith("/scripts/tavix-devsim"))
    check(simulator.external_attr >> 16 & 0o111, "tavix-devsim is not executable in the wheel")
    check(not any(name.endswith((".h", ".a", ".cmake", ".pc")) for name in names),
          "the wheel carries files for C++ users")
    check(f"\nVersion: {VERSION}\n" in metadata, f"the wheel's version is not {VERSION}")
    check("Requires-Python: <3.15,>=3.14" in metadata, "the wheel does not require Python 3.14")
    check("\nRequires-Dist: numpy\n" in metadata, "the wheel does not require numpy (ServoLoop's telemetry)")
    check("tavix = tavix_tools.cli:main" in entry_points.decode(), "no console script tavix")


def make_environment(work, wheel):
    """A virtual environment with the wheel and its one dependency, numpy, and nothing else (no
    pip, no matplotlib). There is no package index here: numpy is this interpreter's own."""
    env = work / "env"
    run([sys.executable, "-m", "venv", "--without-pip", str(env)])
    site = pathlib.Path(run([env / "bin" / "python", "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"]).strip())
    numpy = pathlib.Path(importlib.util.find_spec("numpy").origin).parent
    for source in [numpy, *numpy.parent.glob("numpy-*.dist-info")]:
        (site / source.name).symlink_to(source)
    run([sys.executable, "-m", "pip", "--python", str(env / "bin" / "python"), "install", "--no-index",
         "-q", str(wheel)], timeout=120)
    return env


def environment_variables(env):
    """No trace of the checkout or the build tree; the environment's scripts folder off PATH, so
    that the simulator must be found as the installed package's."""
    variables = {key: value for key, value in os.environ.items()
                 if not key.startswith(("PYTHON", "TAVIX_", "VIRTUAL_ENV"))}
    variables["PATH"] = os.pathsep.join(p for p in os.environ.get("PATH", "").split(os.pathsep)
                                        if pathlib.Path(p).resolve() != (env / "bin").resolve())
    return variables


def check_module(env, variables, work):
    site = pathlib.Path(run([env / "bin" / "python", "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
                            env=variables, cwd=work).strip())
    where = run([env / "bin" / "python", "-c",
                 "import TavixHardwareAPI as api, tavix_tools; print(api.__file__); print(tavix_tools.__file__); "
                 "print(api.__version__, api.get_cpp_version())"], env=variables, cwd=work).split()
    check(all(pathlib.Path(path).is_relative_to(site) for path in where[:2]),
          f"imported from {where[:2]}, not from {site}")
    check(where[2:] == [VERSION, VERSION], f"module version and library version: {where[2:]}")
    print(f"imported from {site}")
    # stubtest imports the installed module; mypy reads the installed typed interface.
    run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull, "TavixHardwareAPI"],
        env=dict(variables, PYTHONPATH=str(site), MYPYPATH=str(site)), cwd=work, timeout=120)
    print("stubtest: the installed TavixHardwareAPI.pyi matches the installed module")


def check_version(env, variables, work):
    out = run([env / "bin" / "tavix", "--version"], env=variables, cwd=work)
    print(f"$ tavix --version\n{out}", end="")
    check(out == f"tavix {VERSION}\n", f"tavix --version printed {out!r}")


ARM_EXCHANGE = """
import sys, TavixHardwareAPI as api
arm = api.Osmira(api.SerialStream(sys.argv[1]), 0.5)
info = arm.device_wakeup_dict()
position, velocity = arm.end_effector_force([0.0, 0.0, 0.5])
print(info["device_model_number"], *position)
"""


def check_sim(env, variables, work):
    command = [env / "bin" / "tavix", "sim", "--arm", "1", "--handle", "0", "--json"]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=variables, cwd=work) as sim:
        try:
            line = sim.stdout.readline()
            print(f"$ tavix sim --arm 1 --handle 0 --json\n{line}", end="")
            description = json.loads(line)
            out = run([env / "bin" / "python", "-c", ARM_EXCHANGE, description["arms"][0]], env=variables, cwd=work)
            model, *position = out.split()
            print(f"arm model {model}, position after one force exchange {position}")
            check(model == "4", f"the arm answered the wake-up with model {model}")
            center = description["workspace"]["center"]
            check(all(abs(float(p) - c) < 0.01 for p, c in zip(position, center, strict=True)),
                  f"position {position} is not near the workspace centre {center}")
            listed = json.loads(run([env / "bin" / "tavix", "list", "--json", "--timeout", "1", "--port",
                                     description["arms"][0]], env=variables, cwd=work))
            verdicts = [port["kind"] for port in listed["ports"] if port["port"] == description["arms"][0]]
            print(f"$ tavix list --port {description['arms'][0]}: {verdicts}")
            check(verdicts == ["arm"], f"tavix list gave {listed}")
            sim.send_signal(signal.SIGINT)  # Ctrl-C
            status = sim.wait(10)
        finally:
            if sim.poll() is None:
                sim.kill()
        check(status == 0, f"tavix sim ended with status {status} on SIGINT: {sim.stderr.read()}")
    check(wait_until_gone(description["pid"], 5.0), f"the simulator (pid {description['pid']}) outlived SIGINT")
    print("SIGINT: tavix sim ended with status 0, the simulator is gone")

    bad = subprocess.run([env / "bin" / "tavix", "sim", "--arm", "x"], capture_output=True, text=True,
                         env=variables, cwd=work, timeout=30)
    check(bad.returncode == 2 and bad.stderr.startswith("tavix-devsim: --arm:") and "Traceback" not in bad.stderr,
          f"tavix sim --arm x: status {bad.returncode}, {bad.stderr!r}")
    print(f"$ tavix sim --arm x  (status 2)\n{bad.stderr}", end="")


def check_bridge(env, variables, work):
    """tavix bridge finds the tavix-bridge the wheel installed (built where Cyclone DDS was found);
    without one it says, in one line, which Debian package the build lacked."""
    bridge = env / "bin" / "tavix-bridge"
    bad = subprocess.run([env / "bin" / "tavix", "bridge", "/dev/null", "--name", "a-b"], capture_output=True,
                         text=True, env=variables, cwd=work, timeout=30)
    if bridge.is_file():
        check(bad.returncode == 2 and bad.stderr.startswith("tavix-bridge: --name:") and bad.stderr.count("\n") == 1,
              f"tavix bridge --name a-b: status {bad.returncode}, {bad.stderr!r}")
    else:
        check(bad.returncode == 1 and "cyclonedds-dev" in bad.stderr and bad.stderr.count("\n") == 1,
              f"tavix bridge without tavix-bridge: status {bad.returncode}, {bad.stderr!r}")
    print(f"$ tavix bridge /dev/null --name a-b  (status {bad.returncode})\n{bad.stderr}", end="")


def check_demo_without_matplotlib(env, variables, work):
    out = run([env / "bin" / "tavix", "demo", "--seconds", "0.2", "--plot", work / "demo.png"],
              env=variables, cwd=work)
    check(re.search(r"^rate \(Hz\) +\d+\.\d +\d+\.\d$", out, re.M), f"no haptic loops in the demo's output:\n{out}")
    skipped = re.search(r"^plot skipped: .*$", out, re.M)
    check(skipped and not (work / "demo.png").exists(), f"the demo without matplotlib:\n{out}")
    print(f"tavix demo without matplotlib: {skipped.group(0)}")


def main():
    work = pathlib.Path(sys.argv[1]).resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    passed = 0
    try:
        wheel = build_wheel(work)
        check_contents(wheel)
        env = make_environment(work, wheel)
        variables = environment_variables(env)
        for step in (check_module, check_version, check_sim, check_bridge, check_demo_without_matplotlib):
            step(env, variables, work)
            passed += 1
    except (CheckFailed, subprocess.TimeoutExpired) as error:
        print(f"install-check FAILED: {error}", file=sys.stderr)
        print(f"install-check: {passed} passed, 1 failed")
        return 1
    print(f"install-check: {passed} passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
