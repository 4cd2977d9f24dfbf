"""Runs discovery scenarios inside a private mount namespace (started with ``unshare -m``).

The child opens one pseudo-terminal per fake device, then hides the host's /dev behind a
tmpfs (nothing of the host's /dev is touched), keeps /dev/pts, and bind-mounts each slave
onto a node named like a serial port (/dev/ttyACM0, ...) so that its canonical path is
exactly that name. Fake devices answer the wake-up byte 0x0A on the masters. The scenario
comes as JSON in argv[1]; the findings go as JSON to the file named by argv[2]. With
"interrupt": S in the scenario, a timer raises SIGALRM S seconds into each call and its handler
raises an exception; the findings then hold the delay from the timer to the exception.

A node may also give its "mode" (octal text) and "group" (gid), and "held": a process then
holds it open with exclusive use (TIOCEXCL), as terminal programs do. A node with "device":
[major, minor] is a character device made with mknod instead, one with "symlink" a symbolic
link to that text. With "sysfs" (a folder) in the scenario, that folder is mounted on /sys. "commands" are
programs run in the namespace once the nodes are in place, each {"argv": [...]} and
optionally "uid" to run it as that user (no groups); their outcomes go to the findings.
"""

import json
import os
import select
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import tty

HOLDER = ("import fcntl, os, sys, termios\n"
          "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
          "fcntl.ioctl(fd, termios.TIOCEXCL)\n"
          "print('holding', flush=True)\n"
          "sys.stdin.read()\n")


def run(*command):
    subprocess.run(command, check=True)


class Responder(threading.Thread):
    """Answers every wake-up with ``reply`` after ``delay`` seconds and records what it got."""

    def __init__(self, master, reply, delay):
        super().__init__(daemon=True)
        self.master, self.reply, self.delay = master, reply, delay
        self.received = bytearray()
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                continue
            try:
                chunk = os.read(self.master, 4096)
            except OSError:  # nobody has the slave open between probes
                time.sleep(0.01)
                continue
            self.received += chunk
            if b"\x0a" in chunk and self.reply:
                if self.stop.wait(self.delay):
                    return
                os.write(self.master, self.reply)


def serve_in_own_process(responders):
    """Runs the responders in a forked process: a detect call keeps the interpreter lock,
    so fake devices in this process could not answer. Returns a function that stops them
    and gives what each one received."""
    stop_r, stop_w = os.pipe()
    result_r, result_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(stop_w)
        os.close(result_r)
        for responder in responders.values():
            responder.start()
        os.read(stop_r, 1)
        for responder in responders.values():
            responder.stop.set()
            responder.join()
        os.write(result_w, json.dumps({name: r.received.hex() for name, r in responders.items()}).encode())
        os._exit(0)
    os.close(stop_r)
    os.close(result_w)
    for responder in responders.values():
        os.close(responder.master)

    def stop():
        os.write(stop_w, b"x")
        with os.fdopen(result_r, "rb") as results:
            received = json.loads(results.read())
        os.waitpid(pid, 0)
        os.close(stop_w)
        return received
    return stop


def hide_host_dev():
    staging = tempfile.mkdtemp()
    run("mount", "--rbind", "/dev", staging)
    run("mount", "-t", "tmpfs", "tavix-dev", "/dev")
    os.mkdir("/dev/pts")
    run("mount", "--rbind", os.path.join(staging, "pts"), "/dev/pts")
    os.symlink("pts/ptmx", "/dev/ptmx")


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


class Interrupted(Exception):
    pass


def raise_interrupted(signum, frame):
    raise Interrupted()


def call_interrupted(function, after):
    """Calls `function` with a timer that raises Interrupted `after` seconds in; returns the delay
    from the timer to the exception, or None when the call returned."""
    signal.setitimer(signal.ITIMER_REAL, after)
    fired = time.monotonic() + after
    try:
        function()
    except Interrupted:
        return time.monotonic() - fired
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    return None


class GilWatcher(threading.Thread):
    """Ticks every millisecond; ticks inside a call show that the call let other threads run."""

    def __init__(self):
        super().__init__(daemon=True)
        self.ticks = []

    def run(self):
        while True:
            self.ticks.append(time.monotonic())
            time.sleep(0.001)

    def ticks_within(self, start, end):
        margin = 0.05
        return sum(1 for t in list(self.ticks) if start + margin < t < end - margin)


def hold(path):
    """A process that holds ``path`` open for exclusive use until its standard input closes."""
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True)
    assert holder.stdout.readline() == "holding\n"
    return holder


def run_commands(commands):
    outcomes = []
    for entry in commands:
        argv = entry["argv"]
        if "uid" in entry:
            argv = ["setpriv", f"--reuid={entry['uid']}", f"--regid={entry['uid']}", "--clear-groups", *argv]
        start = time.monotonic()
        done = subprocess.run(argv, input="", capture_output=True, text=True, timeout=60)
        outcomes.append({"returncode": done.returncode, "stdout": done.stdout, "stderr": done.stderr,
                         "seconds": time.monotonic() - start})
    return outcomes


def settled_thread_count(expected, limit=1.0):
    """The number of this process's threads, once it is ``expected`` or ``limit`` seconds have
    passed: a thread just joined may still be listed under /proc for a moment while it exits."""
    deadline = time.monotonic() + limit
    while (count := len(os.listdir("/proc/self/task"))) != expected and time.monotonic() < deadline:
        time.sleep(0.001)
    return count


def main():
    scenario = json.loads(sys.argv[1])
    responders = {}
    slaves = {}
    for node in scenario["nodes"]:
        if "reply" in node:
            master, slave = os.openpty()
            tty.setraw(master)
            slaves[node["name"]] = os.ttyname(slave)
            os.close(slave)
            responders[node["name"]] = Responder(master, bytes.fromhex(node["reply"]), node.get("delay", 0.0))
    hide_host_dev()
    if "sysfs" in scenario:
        run("mount", "--bind", scenario["sysfs"], "/sys")
    for node in scenario["nodes"]:
        path = os.path.join("/dev", node["name"])
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if node.get("directory"):
            os.mkdir(path)
            continue
        if "symlink" in node:
            os.symlink(node["symlink"], path)
            continue
        if "device" in node:
            os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(*node["device"]))
        else:
            open(path, "w").close()
        if node["name"] in slaves:
            run("mount", "--bind", slaves[node["name"]], path)
        if "group" in node:
            os.chown(path, -1, node["group"])
        if "mode" in node:
            os.chmod(path, int(node["mode"], 8))
    stop_responders = serve_in_own_process(responders)
    holders = {node["name"]: hold(os.path.join("/dev", node["name"])) for node in scenario["nodes"] if node.get("held")}

    import TavixHardwareAPI as api

    watcher = GilWatcher()
    watcher.start()
    findings = {"listing": os.listdir("/dev"), "results": {}, "seconds": {}, "leaked_fds": {}, "ticks": {},
                "holders": {name: holder.pid for name, holder in holders.items()},
                "interrupt_delay": {}, "threads_after": {}}
    try:
        findings["commands"] = run_commands(scenario.get("commands", []))
    finally:
        for holder in holders.values():
            holder.stdin.close()
            holder.wait()
    signal.signal(signal.SIGALRM, raise_interrupted)
    findings["threads_before"] = len(os.listdir("/proc/self/task"))
    for call in scenario.get("calls", []):
        before = open_fds()
        start = time.monotonic()
        if "interrupt" in scenario:
            findings["interrupt_delay"][call] = call_interrupted(getattr(api, call), scenario["interrupt"])
            findings["threads_after"][call] = settled_thread_count(findings["threads_before"])
        else:
            findings["results"][call] = getattr(api, call)()
        end = time.monotonic()
        findings["seconds"][call] = end - start
        findings["ticks"][call] = watcher.ticks_within(start, end)
        findings["leaked_fds"][call] = sorted(set(open_fds()) - set(before))
    findings["received"] = stop_responders()
    with open(sys.argv[2], "w") as out:
        json.dump(findings, out)


if __name__ == "__main__":
    main()
