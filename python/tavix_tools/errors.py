"""The one way a subcommand reports failure: a single line on standard error and an exit status."""

DEVICE_PROBLEM = 1
USAGE = 2


class CommandError(Exception):
    """Ends the command with ``message`` on one line (prefixed ``tavix <command>:``) and ``status``."""

    def __init__(self, message, status=DEVICE_PROBLEM):
        super().__init__(message)
        self.status = status
