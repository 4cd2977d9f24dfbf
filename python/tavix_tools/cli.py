"""tavix: find, diagnose, inspect, watch and record devices, and run the simulator.

Exit status: 0 success, 1 a device problem found or reported, 2 a usage error. Failures are
one line on standard error, never a traceback; Ctrl-C ends a command quietly (status 130;
SIGTERM 143 and SIGHUP 129 where a command must finish its work first).
"""

import argparse
import importlib
import pkgutil
import sys

from tavix_tools import commands
from tavix_tools.errors import USAGE, CommandError
from tavix_tools.signals import Stopped

INTERRUPTED = 130


def _subcommands():
    modules = [importlib.import_module(f"{commands.__name__}.{info.name}")
               for info in pkgutil.iter_modules(commands.__path__)]
    return sorted(modules, key=lambda module: (module.ORDER, module.NAME))


def _version():
    from tavix_tools import version

    try:
        return f"tavix {version()}"
    except ImportError as error:  # the compiled module is missing or built for another Python
        return f"tavix (TavixHardwareAPI cannot be imported: {error})"


class _VersionAction(argparse.Action):
    def __init__(self, option_strings, dest=argparse.SUPPRESS, **kwargs):
        super().__init__(option_strings, dest, nargs=0, help="print the version and exit", **kwargs)

    def __call__(self, parser, namespace, values, option_string=None):
        print(_version())
        parser.exit()


class Parser(argparse.ArgumentParser):
    """A usage error is one line naming the command and where its help is, status 2."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, suggest_on_error=True, **kwargs)

    def error(self, message):
        self.exit(USAGE, f"{self.prog}: {message} (see {self.prog} --help)\n")


def build_parser():
    """The parser of the command line, and the parser of each subcommand by its name."""
    parser = Parser(prog="tavix", description=__doc__.split("\n\n")[0])
    parser.add_argument("--version", action=_VersionAction)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    parsers = {}
    for module in _subcommands():
        command = sub.add_parser(module.NAME, help=module.HELP, description=module.HELP)
        module.add_arguments(command)
        command.set_defaults(run=module.run)
        parsers[module.NAME] = command
    return parser, parsers


def parse(argv):
    """The parsed arguments; a word nobody knows is refused by the parser it was given to."""
    parser, parsers = build_parser()
    # The command is checked here rather than by argparse, which would report a missing
    # command before an unknown option (tavix --foo) and leave a subcommand's unknown option
    # to the top-level parser.
    args, unknown = parser.parse_known_args(argv)
    owner = parsers.get(args.command, parser)
    if unknown:
        owner.error(f"unrecognized arguments: {' '.join(unknown)}")
    if args.command is None:
        parser.error(f"a command is required, one of: {', '.join(parsers)}")
    return args


def main(argv=None):
    try:
        args = parse(argv)
        return args.run(args)
    except CommandError as error:
        print(f"tavix {args.command}: {error}", file=sys.stderr)
        return error.status
    except Stopped as stop:  # SIGTERM or SIGHUP too, while a command listens for them
        return stop.status
    except KeyboardInterrupt:
        return INTERRUPTED
    except BrokenPipeError:  # the reader of our output went away (tavix list | head)
        sys.stderr.close()
        return 0
