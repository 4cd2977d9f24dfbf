"""Stopping a command cleanly on SIGINT, SIGTERM and SIGHUP.

A command that commands forces or writes a file must finish its ``finally`` blocks (the
zero-force exchange, the file moved into place) whichever way it is asked to stop: Ctrl-C,
``kill``, ``timeout``, a closed terminal or ssh session. By default SIGTERM and SIGHUP end
the process on the spot, so while a ``StopSignals`` is active each of the three raises
``Stopped`` instead, as long as the command is ``armed``. A signal that comes while it is
not armed (writing a row, finishing up) is only remembered: a second Ctrl-C never cuts the
finishing short. The device calls of the module end within milliseconds when a handler
raises, so a waiting exchange does not hold the stop up.
"""

import signal

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Stopped(KeyboardInterrupt):
    """A stop signal arrived. A KeyboardInterrupt, so that code written for Ctrl-C (curses'
    terminal restore among it) treats the others alike."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum

    @property
    def status(self):
        """The exit status a shell gives a command ended by this signal."""
        return exit_status(self.signum)

    @property
    def name(self):
        return signal.Signals(self.signum).name


def exit_status(signum):
    return 128 + signum


class StopSignals:
    """Context manager: SIGINT, SIGTERM and SIGHUP (those not ignored) raise ``Stopped``
    while ``armed`` (the first one disarms), and are remembered in ``signum`` either way; the
    previous handlers come back at the end."""

    def __init__(self, armed=True):
        self.armed = armed
        self.signum = None
        self._previous = {}

    def __enter__(self):
        for signum in STOP_SIGNALS:
            # One ignored when the command started stays ignored: nohup's SIGHUP, the SIGINT
            # of a job a shell started in the background.
            if signal.getsignal(signum) != signal.SIG_IGN:
                self._previous[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc):
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)

    def _handle(self, signum, frame):
        if self.signum is None:
            self.signum = signum
        if self.armed:
            self.armed = False
            raise Stopped(signum)

    def arm(self):
        """From now on a stop signal raises; one that came while disarmed raises now."""
        if self.signum is not None:
            self.armed = False
            raise Stopped(self.signum)
        self.armed = True

    def disarm(self):
        self.armed = False
