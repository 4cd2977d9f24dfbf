"""``tavix doctor [PORT]``: what stands between the user and each port, and how to fix it.

Looks, never touches: the ports are not opened (opening a serial port raises its modem
lines, which resets some boards) and nothing is written. What it looks at: whether the
node exists and is a character device, whether this user may read and write it, which
other processes hold it open (/proc/*/fd), and whether ModemManager or brltty runs
(/proc/*/comm): the first sends its own bytes to new ttyACM and ttyUSB ports, the second
takes ttyUSB adapters it mistakes for braille displays.
"""

import collections
import grp
import os
import pwd
import stat

from tavix_tools.ports import candidate_ports, marker_of

NAME = "doctor"
HELP = "find what keeps you from using a port, and how to fix it"
ORDER = 50
PROC = "/proc"
PTY_SLAVE_MAJORS = (136, 143)
COMMAND_WIDTH = 80

Finding = collections.namedtuple("Finding", "subject problem details fix")

SERVICES = {
    "ModemManager": ({"ttyACM", "ttyUSB"}, "it sends its own bytes to every new ttyACM and ttyUSB port",
                     "sudo systemctl stop ModemManager (to keep it off: sudo systemctl mask ModemManager)"),
    "brltty": ({"ttyUSB"}, "it takes USB serial adapters it mistakes for braille displays",
               "sudo systemctl stop brltty-udev.service brltty.service (to keep it off: "
               "sudo systemctl mask brltty-udev.service brltty.service, or sudo apt remove brltty)"),
}


def add_arguments(parser):
    parser.add_argument("port", nargs="?", metavar="PORT", help="the one port to examine (default: every candidate)")


def processes():
    """Process ids under /proc, this one left out."""
    own = os.getpid()
    return [int(name) for name in os.listdir(PROC) if name.isdigit() and int(name) != own]


def read_text(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:  # the process has ended, or is not ours to look at
        return None


def command_of(pid):
    """The process's command line on one line, cut to COMMAND_WIDTH characters."""
    text = read_text(f"{PROC}/{pid}/cmdline") or read_text(f"{PROC}/{pid}/comm") or "?"
    command = " ".join(text.replace("\0", " ").split())
    return command if len(command) <= COMMAND_WIDTH else command[:COMMAND_WIDTH - 3] + "..."


def holders(device):
    """(pid, command) of the processes with an open descriptor on character device number
    ``device``, and how many processes could not be looked at. A process that also holds
    the master side of a pseudo-terminal is its far end (a simulated device), not a rival."""
    found, hidden = [], 0
    for pid in processes():
        try:
            fds = os.listdir(f"{PROC}/{pid}/fd")
        except PermissionError:
            hidden += 1
            continue
        except OSError:
            continue
        if any(_is_device(f"{PROC}/{pid}/fd/{fd}", device) for fd in fds) and not _holds_master(pid, fds, device):
            found.append((pid, command_of(pid)))
    return found, hidden


def _is_device(fd_path, device):
    try:
        info = os.stat(fd_path)
    except OSError:
        return False
    return stat.S_ISCHR(info.st_mode) and info.st_rdev == device


def _holds_master(pid, fds, device):
    if not PTY_SLAVE_MAJORS[0] <= os.major(device) <= PTY_SLAVE_MAJORS[1]:
        return False
    index = f"tty-index:\t{(os.major(device) - PTY_SLAVE_MAJORS[0]) * 256 + os.minor(device)}\n"
    return any(index in (read_text(f"{PROC}/{pid}/fdinfo/{fd}") or "") for fd in fds)


def running_services():
    """{service name: [pid, ...]} of the services in SERVICES that run now."""
    running = collections.defaultdict(list)
    for pid in processes():
        name = (read_text(f"{PROC}/{pid}/comm") or "").strip()
        if name in SERVICES:
            running[name].append(pid)
    return running


def user_name(uid):
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return f"uid {uid}"


def group_name(gid):
    try:
        return grp.getgrgid(gid).gr_name
    except KeyError:
        return f"gid {gid}"


def permission_finding(path, info):
    """Why this user may not read and write the node, and the fix."""
    uid = os.getuid()
    user, group = user_name(uid), group_name(info.st_gid)
    try:
        member = info.st_gid in os.getgrouplist(user, pwd.getpwuid(uid).pw_gid)
    except KeyError:
        member = False
    in_session = info.st_gid in os.getgroups() or info.st_gid == os.getegid()
    details = [f"owner {user_name(info.st_uid)}, group {group}, mode {stat.filemode(info.st_mode)}; "
               f"{user} is {'' if in_session else 'not '}in group {group} in this session"
               + ("" if in_session or not member else " (the group lists them: a new login picks that up)")]
    if info.st_mode & 0o060 != 0o060:
        fix = (f"sudo chmod 660 {path} (until it is plugged in again); for good, a udev rule "
               f"with MODE=\"0660\", GROUP=\"dialout\", then: sudo usermod -aG dialout {user}")
    elif member:
        fix = f"log out and in again (or start a shell with: newgrp {group})"
    else:
        fix = f"sudo usermod -aG {group} {user}, then log out and in again"
    return Finding(path, f"permission denied for {user}", details, fix)


def examine(path):
    """The findings for one port (none when nothing stands in the way) and the number of
    processes that could not be looked at."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return [Finding(path, "does not exist", [], "plug the device in (and see dmesg | tail for what the kernel "
                                                    "made of it); tavix list shows the ports there are")], 0
    if not stat.S_ISCHR(info.st_mode):
        return [Finding(path, "is not a character device, so not a serial port", [],
                        "use the device's own node under /dev")], 0
    findings = []
    if not os.access(path, os.R_OK | os.W_OK):
        findings.append(permission_finding(path, info))
    held, hidden = holders(info.st_rdev)
    for pid, command in held:
        findings.append(Finding(path, f"open in another program: pid {pid} ({command})", [],
                                f"end that program (kill {pid})"))
    return findings, hidden


def service_findings(ports):
    """The services that run and matter for the kinds of these ports (for all kinds when
    there is no port: brltty can be why a ttyUSB port never appears)."""
    kinds = {marker_of(path) for path in ports}
    findings = []
    for name, pids in sorted(running_services().items()):
        affected, why, fix = SERVICES[name]
        if not ports or kinds & affected:
            findings.append(Finding(name, f"is running (pid {', '.join(map(str, pids))}): {why}", [], fix))
    return findings


def report(findings):
    for finding in findings:
        print(f"{finding.subject}: {finding.problem}")
        for detail in finding.details:
            print(f"  {detail}")
        print(f"  fix: {finding.fix}")


def run(args):
    ports = [args.port] if args.port else candidate_ports()
    if not ports:
        print("no serial ports: no /dev entry has ttyACM, ttyUSB or rfcomm in its name")
    problems = hidden = 0
    for path in ports:
        findings, hidden = examine(path)
        if not findings:
            print(f"{path}: nothing in the way")
        report(findings)
        problems += len(findings)
    services = service_findings(ports)
    report(services)
    if hidden:
        print(f"note: {hidden} processes of other users could not be looked at: run as root to see "
              "whether one of them holds a port")
    return 1 if problems or services or not ports else 0
