"""``tavix bridge PORT [options]``: the network bridge (tavix-bridge) in the foreground. It
drives the arm on PORT with a servo loop and serves it as ROS 2 topics over DDS until Ctrl-C
or SIGTERM; ``tavix bridge --help`` lists its options.

Every word after ``bridge`` goes to tavix-bridge unchanged, so a bad option gets its own
one-line message and status 2. The command becomes the bridge (exec): a signal sent to it
reaches the bridge itself, which stops the arm (zero force) and leaves the DDS domain.

The binary is $TAVIX_BRIDGE when set; else, from a checkout, the build tree's (build/bridge);
else the one installed with the package, in the environment's scripts folder or on PATH. It is
built only where Cyclone DDS was found, and it needs the Cyclone DDS library at run time:
where either is missing, the command says so in one line naming the Debian package to install.
"""

import ctypes
import os
import pathlib
import re
import shutil
import sys
import sysconfig

from tavix_tools.errors import CommandError

NAME = "bridge"
HELP = "serve an arm as ROS 2 topics over DDS (tavix-bridge); tavix bridge --help lists its options"
ORDER = 85
BINARY = "tavix-bridge"
BUILD_PACKAGE = "cyclonedds-dev"     # what a build needs to make tavix-bridge
LIBRARY_PACKAGE = "libddsc0debian"   # what tavix-bridge needs to run
# <checkout>/python/tavix_tools/commands/bridge.py
_CHECKOUT = pathlib.Path(__file__).resolve().parents[3]


def add_arguments(parser):
    # No word is an option of this parser, --help included: all of them are the bridge's.
    parser.prefix_chars = "\0"
    parser.add_argument("options", nargs="*", help="options of tavix-bridge")


def _candidates():
    if (_CHECKOUT / "bridge" / "CMakeLists.txt").is_file():
        yield _CHECKOUT / "build" / "bridge" / BINARY
    yield pathlib.Path(sysconfig.get_path("scripts")) / BINARY
    on_path = shutil.which(BINARY)
    if on_path:
        yield pathlib.Path(on_path)


def find_binary():
    """Path of the tavix-bridge executable, or None when there is none."""
    if os.environ.get("TAVIX_BRIDGE"):
        return os.environ["TAVIX_BRIDGE"]
    for path in _candidates():
        if os.access(path, os.X_OK) and path.is_file():
            return str(path)
    return None


def missing_library(binary):
    """The Cyclone DDS library that `binary` names and that cannot be loaded here, or None."""
    try:
        with open(binary, "rb") as file:
            names = set(re.findall(rb"libddsc\.so[0-9A-Za-z.]*", file.read()))
    except OSError:
        return None  # exec will say what is wrong with the file
    for name in sorted(names):
        try:
            ctypes.CDLL(name.decode())
        except OSError:
            return name.decode()
    return None


def run(args):
    binary = find_binary()
    if binary is None:
        raise CommandError(f"{BINARY} is not installed: it is built only with Cyclone DDS "
                           f"(install the Debian package {BUILD_PACKAGE}, then build again)")
    library = missing_library(binary)
    if library:
        raise CommandError(f"Cyclone DDS is missing: {library} cannot be loaded "
                           f"(install the Debian package {LIBRARY_PACKAGE})")
    sys.stdout.flush()
    try:
        os.execv(binary, [binary, *args.options])
    except OSError as error:
        raise CommandError(f"cannot run {binary}: {error.strerror}") from None
