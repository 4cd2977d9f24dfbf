"""``tavix``: find, diagnose, inspect, watch and record devices, and run the simulator.

Exit status: 0 success, 1 a device problem found or reported, 2 a usage error. Failures are
one line on standard error, never a traceback; Ctrl-C ends a command quietly (status 130;
SIGTERM 143 and SIGHUP 129 where a command must finish its work first).
"""

import argparse
import importlib
import pkgutil
import sys

from tavix_tools import commands
from tavix_tools.errors import CommandError
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


def build_parser():
    parser = argparse.ArgumentParser(prog="tavix", description=__doc__.split("\n\n")[0])
    parser.add_argument("--version", action=_VersionAction)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for module in _subcommands():
        command = sub.add_parser(module.NAME, help=module.HELP, description=module.HELP)
        module.add_arguments(command)
        command.set_defaults(run=module.run)
    return parser


def main(argv=None):
    try:
        args = build_parser().parse_args(argv)
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
