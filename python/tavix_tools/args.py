"""Argument types shared by the subcommands: a bad value is a usage error (status 2)."""

import argparse
import math


def positive_seconds(text):
    """A finite number of seconds above zero."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number of seconds") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"'{text}' is not a number of seconds above zero")
    return value


def force_vector(text):
    """Three comma-separated finite numbers: FX,FY,FZ in newtons."""
    parts = text.split(",")
    try:
        values = [float(part) for part in parts]
    except ValueError:
        values = []
    if len(values) != 3 or not all(math.isfinite(v) for v in values):
        raise argparse.ArgumentTypeError(f"'{text}' is not three numbers FX,FY,FZ")
    return values
