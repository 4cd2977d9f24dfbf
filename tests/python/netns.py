"""Two network namespaces joined by a veth pair, for DDS traffic that never leaves them.

    with NamespacePair() as net:
        bridge = net.a.start([bridge_binary, port])     # inside namespace a
        out = net.b.run([peer, "echo", "/arm/pose", "--seconds", "1"], timeout=5)

Side a has 10.231.N.1/24, side b 10.231.N.2/24 (addresses that exist only there), both have
`lo` up and a multicast route on their veth, and each side's processes get a CYCLONEDDS_URI
that pins DDS to that side's veth. Everything is removed on exit, also after a failure or a
test's timeout: the processes started here first (SIGKILL), then both namespaces, which takes
the veth pair with them.
"""

import os
import shutil
import signal
import subprocess
import threading

SUBNET = "10.231"
# Inside the namespaces only, so every pair may use the same interface names.
VETH_A, VETH_B = "tavix-a", "tavix-b"
DEFAULT_LIFETIME = 60.0  # s: no process started here lives longer


def unavailable():
    """Why namespaces cannot be made here, or None."""
    if os.geteuid() != 0:
        return "network namespaces need root"
    if shutil.which("ip") is None:
        return "the ip command (iproute2) is missing"
    return None


def _ip(*args):
    subprocess.run(["ip", *args], check=True, capture_output=True, timeout=10)


def namespaces():
    """Names of the network namespaces that exist now."""
    listed = subprocess.run(["ip", "netns", "list"], check=True, capture_output=True, text=True, timeout=10)
    return {line.split()[0] for line in listed.stdout.splitlines() if line.strip()}


class Side:
    """One namespace of the pair and the processes started in it."""

    def __init__(self, ns, interface, address):
        self.ns = ns
        self.interface = interface
        self.address = address
        self.env = dict(os.environ)
        self.env["CYCLONEDDS_URI"] = (
            "<CycloneDDS><Domain Id=\"any\"><General><Interfaces>"
            f"<NetworkInterface name=\"{interface}\"/>"
            "</Interfaces></General></Domain></CycloneDDS>")
        self._processes = []
        self._timers = []

    def command(self, argv):
        return ["ip", "netns", "exec", self.ns, *map(str, argv)]

    def start(self, argv, lifetime=DEFAULT_LIFETIME, **popen_args):
        """Starts `argv` in this namespace (stdout a text pipe unless given); it is killed after
        `lifetime` seconds if still running, and when the pair is removed."""
        popen_args.setdefault("stdout", subprocess.PIPE)
        popen_args.setdefault("stdin", subprocess.DEVNULL)
        popen_args.setdefault("text", True)
        process = subprocess.Popen(self.command(argv), env=self.env, **popen_args)
        timer = threading.Timer(lifetime, _kill, (process,))
        timer.daemon = True
        timer.start()
        self._processes.append(process)
        self._timers.append(timer)
        return process

    def run(self, argv, timeout, **run_args):
        """Runs `argv` here to its end (killed after `timeout` seconds: TimeoutExpired)."""
        run_args.setdefault("capture_output", True)
        run_args.setdefault("text", True)
        return subprocess.run(self.command(argv), env=self.env, timeout=timeout, stdin=subprocess.DEVNULL,
                              **run_args)

    def set_link(self, up):
        _ip("-n", self.ns, "link", "set", self.interface, "up" if up else "down")

    def end_processes(self):
        for timer in self._timers:
            timer.cancel()
        # Last started first: a bridge before the simulator whose port it holds.
        for process in reversed(self._processes):
            _kill(process)
            for stream in (process.stdout, process.stderr):
                if stream:
                    stream.close()
        self._processes.clear()
        self._timers.clear()


def _kill(process):
    if process.poll() is None:
        try:
            process.send_signal(signal.SIGKILL)
        except ProcessLookupError:
            pass
    process.wait()


class NamespacePair:
    """Namespaces tavix-<pid>-<k>-a and -b; `a` and `b` are their Sides."""

    _made = 0

    def __init__(self):
        NamespacePair._made += 1
        tag = f"tavix-{os.getpid()}-{NamespacePair._made}"
        subnet = f"{SUBNET}.{os.getpid() % 250 + 1}"
        self.a = Side(f"{tag}-a", VETH_A, f"{subnet}.1")
        self.b = Side(f"{tag}-b", VETH_B, f"{subnet}.2")

    def __enter__(self):
        try:
            self._create()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _create(self):
        for side in (self.a, self.b):
            _ip("netns", "add", side.ns)
        # Made inside the namespaces, so the interfaces never appear outside them.
        _ip("-n", self.a.ns, "link", "add", VETH_A, "type", "veth", "peer", "name", VETH_B, "netns", self.b.ns)
        for side in (self.a, self.b):
            _ip("-n", side.ns, "addr", "add", f"{side.address}/24", "dev", side.interface)
            _ip("-n", side.ns, "link", "set", "lo", "up")
            _ip("-n", side.ns, "link", "set", side.interface, "up")
            _ip("-n", side.ns, "route", "add", "224.0.0.0/4", "dev", side.interface)

    def close(self):
        """Ends every process started in either side, then deletes both namespaces."""
        for side in (self.a, self.b):
            side.end_processes()
        existing = namespaces()
        for side in (self.a, self.b):
            if side.ns in existing:
                _ip("netns", "del", side.ns)
