"""``tavix demo``: the haptic demo on a simulator of its own (see tavix_tools.demo)."""

from tavix_tools.errors import CommandError

NAME = "demo"
HELP = "haptic demo: a virtual wall on a simulated arm, then the handle's status"
ORDER = 80


def seconds(text):
    value = float(text)
    if not value > 0:
        raise ValueError(text)
    return value


def add_arguments(parser):
    parser.add_argument("--seconds", type=seconds, default=3.0, metavar="S",
                        help="length of the haptic loop in seconds (default 3)")
    parser.add_argument("--plot", default="haptic_demo.png", metavar="FILE",
                        help="where to save the plot (default haptic_demo.png; needs matplotlib)")


def run(args):
    from tavix_tools import demo  # here, not above: `tavix --help` works without the compiled module

    try:
        return 0 if demo.run(args.seconds, args.plot) else 1
    except (FileNotFoundError, RuntimeError) as error:  # no simulator, or it did not start
        raise CommandError(str(error)) from None
