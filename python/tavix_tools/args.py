"""Argument types shared by the subcommands: a bad value is a usage error (status 2)."""

import argparse
import math

from tavix_tools.errors import USAGE, CommandError

# The arm takes binary32 forces: a larger number arrives as infinity.
FLOAT32_MAX = 3.4028234663852886e38
DEFAULT_MAX_FORCE = 1.0
ZERO_FORCE = (0.0, 0.0, 0.0)


def _positive(text, what):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number of {what}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"'{text}' is not a number of {what} above zero")
    return value


def positive_seconds(text):
    """A finite number of seconds above zero."""
    return _positive(text, "seconds")


def force_limit(text):
    """A finite force above zero, in the arm's force unit."""
    return _positive(text, "the arm's force unit")


def force_vector(text):
    """Three comma-separated finite numbers: FX,FY,FZ in the arm's force unit."""
    parts = text.split(",")
    try:
        values = [float(part) for part in parts]
    except ValueError:
        values = []
    if len(values) != 3 or not all(math.isfinite(v) and abs(v) <= FLOAT32_MAX for v in values):
        raise argparse.ArgumentTypeError(f"'{text}' is not three numbers FX,FY,FZ")
    return values


def add_force_arguments(parser, what):
    """--force and the --max-force that bounds it; ``what`` says what the force does."""
    parser.add_argument("--force", type=force_vector, default=list(ZERO_FORCE), metavar="FX,FY,FZ",
                        help=f"{what}, in the arm's force unit (default 0,0,0)")
    parser.add_argument("--max-force", type=force_limit, default=DEFAULT_MAX_FORCE, metavar="F",
                        help="the largest --force (its length) accepted, in the arm's force unit "
                             f"(default {DEFAULT_MAX_FORCE:g})")


def check_force(force, max_force):
    """Refuses (status 2) a --force longer than --max-force, before anything is sent."""
    norm = math.hypot(*force)
    if norm > max_force:
        raise CommandError(f"--force {format_force(force)} is {norm:g} long, above --max-force "
                           f"{max_force:g} (raise --max-force to allow it)", USAGE)


def format_force(force):
    return f"[{', '.join(f'{f:g}' for f in force)}]"
