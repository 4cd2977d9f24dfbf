"""``tavix sim [simulator options]``: the simulator that comes with the package, in the
foreground. It prints one line per device (``arm /dev/pts/3``) and serves until Ctrl-C.

Every word after ``sim`` goes to the simulator unchanged (``tavix sim --help`` lists them), so
a bad option gets the simulator's own message and status 2. The command becomes the simulator
(exec): Ctrl-C, or any signal sent to it, reaches the simulator itself and nothing is left
running behind it.
"""

import os
import sys

from tavix_tools.devsim import find_binary
from tavix_tools.errors import CommandError

NAME = "sim"
HELP = "run the device simulator (tavix-devsim); tavix sim --help lists its options"
ORDER = 90


def add_arguments(parser):
    # No word is an option of this parser, --help included: all of them are the simulator's.
    parser.prefix_chars = "\0"
    parser.add_argument("options", nargs="*", help="options of tavix-devsim")


def run(args):
    try:
        binary = find_binary()
    except FileNotFoundError as error:
        raise CommandError(str(error)) from None
    sys.stdout.flush()
    try:
        os.execv(binary, [binary, *args.options])
    except OSError as error:
        raise CommandError(f"cannot run {binary}: {error.strerror}") from None
