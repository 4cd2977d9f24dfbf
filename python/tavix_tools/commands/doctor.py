"""``tavix doctor [PORT]``: what stands between the user and each port, and how to fix it.

Looks, never touches: the ports are not opened (opening a serial port raises its modem
lines, which resets some boards) and nothing is written. Only terminals are examined; for
each: whether this user may read and write it, which other processes hold it open
(/proc/*/fd), and whether ModemManager or brltty runs (/proc/*/comm): the first sends its
own bytes to new ttyACM and ttyUSB ports, the second takes ttyUSB adapters it mistakes for
braille displays. With no port at all it looks at the host instead: the user's groups, those
services and the kernel's recent messages about serial devices. Last, whether this user may
give a servo loop real-time priority.

A fix is printed only where it works and is safe: a node is never opened to a group the user
is not in, nobody is added to the group root, and a pseudo-terminal (a simulated device) is
never sent to udev.
"""

import collections
import errno
import grp
import os
import pwd
import re
import resource
import stat

from tavix_tools.ports import (SYSFS, candidate_ports, kernel_name, marker_of, resolve_port, terminal_kind,
                               usb_identity)

NAME = "doctor"
HELP = "find what keeps you from using a port, and how to fix it"
ORDER = 50
PROC = "/proc"
KMSG = "/dev/kmsg"
OS_RELEASE = "/etc/os-release"
PTY_SLAVE_MAJORS = (136, 143)
COMMAND_WIDTH = 80
KERNEL_LINES = 10  # the kernel's latest messages about serial devices shown
CAP_SYS_NICE = 23
UDEV_RULES = "/etc/udev/rules.d/70-tavix.rules"
LIMITS = "/etc/security/limits.d/99-realtime.conf"
RELOGIN = "then log out and in again"
# Kernel messages about USB devices coming and going and about serial drivers and ports.
SERIAL_MESSAGE = re.compile(r"tty(ACM|USB)\d|rfcomm|cdc_acm|usbserial|ftdi_sio|cp210x|ch341|pl2303|brltty"
                            r"|New USB device found|USB disconnect")

# A finding: ``line`` says what is wrong (with the subject), ``details`` follow indented,
# ``fix`` (None when no fix is safe to give) follows last.
Finding = collections.namedtuple("Finding", "line details fix")

SERVICES = {
    "ModemManager": ({"ttyACM", "ttyUSB"}, "it sends its own bytes to every new ttyACM and ttyUSB port",
                     "sudo systemctl stop ModemManager (to keep it off: sudo systemctl mask ModemManager)"),
    "brltty": ({"ttyUSB"}, "it takes USB serial adapters it mistakes for braille displays",
               "sudo systemctl stop brltty-udev.service brltty.service (to keep it off: "
               "sudo systemctl mask brltty-udev.service brltty.service, or sudo apt remove brltty)"),
}


def add_arguments(parser):
    parser.add_argument("port", nargs="?", metavar="PORT",
                        help="the one port to examine, a path or a name under /dev (default: every candidate)")


# --- processes -------------------------------------------------------------------------

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


def status_field(pid, name):
    """The first value of a line of /proc/PID/status ("PPid", "Uid", "CapEff"), or None."""
    for line in (read_text(f"{PROC}/{pid}/status") or "").splitlines():
        key, _, value = line.partition(":")
        if key == name and value.split():
            return value.split()[0]
    return None


def ancestors():
    """Process ids of this process's parent, its parent's parent, and so on."""
    found, pid = set(), status_field("self", "PPid")
    while pid and pid != "0" and int(pid) not in found:
        found.add(int(pid))
        pid = status_field(pid, "PPid")
    return found


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


def holder_finding(path, pid, command, own_terminal):
    """A process that holds the port: its own terminal is no rival, another is named with the
    way to end it (sudo for a process of another user)."""
    if pid in own_terminal:
        return None
    owner = status_field(pid, "Uid")
    kill = f"kill {pid}" if owner == str(os.getuid()) else f"sudo kill {pid}"
    return Finding(f"{path}: open in another program: pid {pid} ({command})", [],
                   f"if that program is not meant to use the port, end it ({kill})")


def running_services():
    """{service name: [pid, ...]} of the services in SERVICES that run now."""
    running = collections.defaultdict(list)
    for pid in processes():
        name = (read_text(f"{PROC}/{pid}/comm") or "").strip()
        if name in SERVICES:
            running[name].append(pid)
    return running


# --- users and groups ------------------------------------------------------------------

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


def group_id(name):
    try:
        return grp.getgrnam(name).gr_gid
    except KeyError:
        return None


def membership(gid):
    """(in this session, listed in the group database) for this user and group ``gid``."""
    uid = os.getuid()
    in_session = gid in os.getgroups() or gid == os.getegid()
    try:
        entry = pwd.getpwuid(uid)
        listed = gid in os.getgrouplist(entry.pw_name, entry.pw_gid)
    except KeyError:
        listed = False
    return in_session, listed


def serial_group():
    """The group the distribution gives serial ports: dialout in the Debian family, uucp
    elsewhere (when the host has no uucp group, dialout)."""
    release = read_text(OS_RELEASE) or ""
    family = {word for line in release.splitlines() if line.startswith(("ID=", "ID_LIKE="))
              for word in line.partition("=")[2].strip('"').split()}
    if "debian" in family or group_id("uucp") is None:
        return "dialout"
    return "uucp"


def join_group(group, user, in_session, listed):
    """What gives this user the group: nothing, a new login, or joining it first."""
    if in_session:
        return None
    if listed:
        return f"log out and in again to have group {group} (or start a shell with: newgrp {group})"
    return f"sudo usermod -aG {group} {user}, {RELOGIN}"


# --- one port ----------------------------------------------------------------------------

def node_kind(info):
    """What a node that is no terminal is, in words."""
    if stat.S_ISCHR(info.st_mode):
        return f"character device {os.major(info.st_rdev)},{os.minor(info.st_rdev)}"
    if stat.S_ISBLK(info.st_mode):
        return f"block device {os.major(info.st_rdev)},{os.minor(info.st_rdev)}"
    kinds = {stat.S_ISDIR: "a directory", stat.S_ISREG: "a regular file", stat.S_ISFIFO: "a named pipe",
             stat.S_ISSOCK: "a socket"}
    return next((text for test, text in kinds.items() if test(info.st_mode)), "not a device")


def udev_rule(path, info, group, sysfs):
    """A udev rule that gives the port ``group`` and mode 0660 whenever it appears: by the
    USB device's vendor and product id, else by the kernel's name of the port."""
    usb = usb_identity(path, sysfs)
    if usb and usb["vendor_id"] and usb["product_id"]:
        match = f'ATTRS{{idVendor}}=="{usb["vendor_id"]}", ATTRS{{idProduct}}=="{usb["product_id"]}"'
    else:
        match = f'KERNEL=="{kernel_name(info.st_rdev, sysfs) or os.path.basename(path)}"'
    return f'SUBSYSTEM=="tty", {match}, GROUP="{group}", MODE="0660"'


def permission_fix(path, info, pty, sysfs):
    """The fix for a node this user may not read and write, or None when none is safe."""
    uid = os.getuid()
    user = user_name(uid)
    if info.st_uid == uid:
        return f"chmod u+rw {path}"
    if info.st_mode & 0o060 == 0o060 and info.st_gid != 0:
        return join_group(group_name(info.st_gid), user, *membership(info.st_gid)) or f"look at its ACL: getfacl {path}"
    if pty:  # made by whoever opened its master side, for that user alone: no udev rule applies
        return (f"a pseudo-terminal belongs to the user who made it ({user_name(info.st_uid)}): run this "
                f"program as that user, or start the simulator as {user}")
    # The group may not use the node, or it is root's: a udev rule gives it a serial group.
    group = group_name(info.st_gid) if info.st_gid != 0 else serial_group()
    gid = group_id(group)
    joining = join_group(group, user, *membership(gid)) if gid is not None else None
    rule = udev_rule(path, info, group, sysfs)
    steps = [f"echo '{rule}' | sudo tee -a {UDEV_RULES}",
             "sudo udevadm control --reload && sudo udevadm trigger (or plug the device in again)"]
    return "; ".join(steps + ([joining] if joining else []))


def permission_finding(path, info, pty, sysfs):
    """Why this user may not read and write the node, and the fix."""
    user, group = user_name(os.getuid()), group_name(info.st_gid)
    in_session, listed = membership(info.st_gid)
    details = [f"owner {user_name(info.st_uid)}, group {group}, mode {stat.filemode(info.st_mode)}; "
               f"{user} is {'' if in_session else 'not '}in group {group} in this session"
               + ("" if in_session or not listed else " (the group lists them: a new login picks that up)")]
    return Finding(f"{path}: permission denied for {user}", details, permission_fix(path, info, pty, sysfs))


def examine(path, sysfs=SYSFS):
    """The findings for one port (none when nothing stands in the way), the number of
    processes that could not be looked at, and whether it is a terminal at all."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return [Finding(f"{path}: does not exist", [], "plug the device in (sudo dmesg | tail shows what the "
                                                       "kernel made of it); tavix list shows the ports there are")], 0
    except OSError as error:
        return [Finding(f"{path}: cannot be looked at: {error.strerror}", [], None)], 0
    kind = terminal_kind(info.st_rdev, sysfs) if stat.S_ISCHR(info.st_mode) else None
    if kind is None:
        return [Finding(f"{path} is not a terminal ({node_kind(info)})", [], None)], 0
    findings = []
    if not os.access(path, os.R_OK | os.W_OK):
        findings.append(permission_finding(path, info, kind == "pty", sysfs))
    held, hidden = holders(info.st_rdev)
    own_terminal = ancestors()
    findings += filter(None, (holder_finding(path, pid, command, own_terminal) for pid, command in held))
    return findings, hidden


# --- the host ----------------------------------------------------------------------------

def service_findings(ports):
    """The services that run and matter for the kinds of these ports (for all kinds when
    there is no port: brltty can be why a ttyUSB port never appears)."""
    kinds = {marker_of(path) for path in ports}
    findings = []
    for name, pids in sorted(running_services().items()):
        affected, why, fix = SERVICES[name]
        if not ports or kinds & affected:
            findings.append(Finding(f"{name}: is running (pid {', '.join(map(str, pids))}): {why}", [], fix))
    return findings


def group_findings():
    """Whether this user has the serial ports' group (root needs none)."""
    if os.geteuid() == 0:
        return []
    user, group = user_name(os.getuid()), serial_group()
    gid = group_id(group)
    if gid is None:
        return []
    joining = join_group(group, user, *membership(gid))
    if joining is None:
        return []
    session = ", ".join(sorted(group_name(g) for g in set(os.getgroups()) | {os.getegid()}))
    return [Finding(f"{user}: not in group {group}, which serial ports get here", [f"groups in this session: {session}"],
                    joining)]


def kernel_messages(path=KMSG, limit=KERNEL_LINES):
    """The kernel's latest messages about serial devices, oldest first; None when the log
    cannot be read (it may be for root alone)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError:
        return None
    found = collections.deque(maxlen=limit)
    try:
        while True:
            try:
                record = os.read(fd, 8192).decode(errors="replace")
            except BlockingIOError:  # the end of the log
                break
            except OSError as error:
                if error.errno == errno.EPIPE:  # records overwritten while reading: go on
                    continue
                break
            if not record:
                break
            header, _, text = record.partition(";")
            text = text.split("\n")[0]
            if SERIAL_MESSAGE.search(text):
                fields = header.split(",")
                seconds = int(fields[2]) / 1e6 if len(fields) > 2 and fields[2].isdigit() else 0.0
                found.append(f"[{seconds:12.6f}] {text}")
    finally:
        os.close(fd)
    return list(found)


def report_kernel_messages():
    messages = kernel_messages()
    if messages is None:
        return
    if not messages:
        print("kernel: no recent messages about USB serial devices: is the device plugged in, with a cable that "
              "carries data?")
        return
    print("kernel: the latest messages about serial devices:")
    for message in messages:
        print(f"  {message}")


def realtime_priority():
    """One line on whether this user may give a thread real-time priority, and a fix line
    (None when it may)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_RTPRIO)
    capabilities = int(status_field("self", "CapEff") or "0", 16)
    if os.geteuid() == 0 or capabilities >> CAP_SYS_NICE & 1:
        return "real-time priority: available (root or CAP_SYS_NICE)", None
    if soft > 0:
        return f"real-time priority: available up to {soft} (RLIMIT_RTPRIO)", None
    user = user_name(os.getuid())
    line = f"real-time priority: not available to {user} (RLIMIT_RTPRIO {soft}, hard limit {hard})"
    if hard > 0:
        return line, f"raise it in the shell that starts the program: ulimit -r {hard}"
    return line, (f"sudo groupadd -f realtime && sudo usermod -aG realtime {user}; then the lines "
                  f"'@realtime - rtprio 99' and '@realtime - memlock unlimited' in {LIMITS}; {RELOGIN}")


# --- the report --------------------------------------------------------------------------

def report(findings):
    for finding in findings:
        print(finding.line)
        for detail in finding.details:
            print(f"  {detail}")
        if finding.fix:
            print(f"  fix: {finding.fix}")


def examine_ports(ports):
    """Reports every port; the number of findings and of processes not looked at."""
    problems = hidden = 0
    for path in ports:
        findings, not_seen = examine(path)
        hidden = max(hidden, not_seen)
        if not findings:
            print(f"{path}: nothing in the way")
        report(findings)
        problems += len(findings)
    return problems, hidden


def run(args):
    ports = [resolve_port(args.port)] if args.port else candidate_ports()
    problems, hidden = examine_ports(ports)
    if not ports:
        print("no serial ports: no /dev entry has ttyACM, ttyUSB or rfcomm in its name")
        groups = group_findings()
        report(groups)
        problems += len(groups)
        report_kernel_messages()
    services = service_findings(ports)
    report(services)
    if hidden:
        print(f"note: {hidden} processes of other users could not be looked at: run as root to see "
              "whether one of them holds a port")
    line, fix = realtime_priority()
    print(line)
    if fix:
        print(f"  to grant it: {fix}")
    return 1 if problems or services or not ports else 0
