"""The library's error lines, kept off the terminal while the tool talks to devices.

The library prints one line on standard error (file descriptor 2) for every timeout or
failed read. The tool says what happened in its own words (a verdict, a summary, a status
row), and a full-screen view or a progress bar would be torn by lines written under it, so
while a ``LibraryErrors`` is active descriptor 2 goes to a temporary file and the lines are
read back from there. A file rather than a pipe: a pipe nobody drains would block the
library's writer once it is full.
"""

import os
import sys
import tempfile


class LibraryErrors:
    """Context manager: redirects descriptor 2 into a temporary file. ``terminal`` is a text
    stream on the original standard error, for the tool's own messages meanwhile;
    ``new_lines()`` gives the lines written since its last call."""

    def __init__(self):
        self._saved = None
        self._file = None
        self._offset = 0
        self.terminal = None

    def __enter__(self):
        sys.stderr.flush()
        self._file = tempfile.TemporaryFile()
        self._saved = os.dup(2)
        os.dup2(self._file.fileno(), 2)
        self.terminal = open(os.dup(self._saved), "w", buffering=1, closefd=True)
        return self

    def __exit__(self, *exc):
        sys.stderr.flush()
        os.dup2(self._saved, 2)
        os.close(self._saved)
        try:
            self.terminal.close()
        except OSError:  # the terminal went away (SIGHUP) with our last words in the buffer
            pass

    def new_lines(self):
        """Complete lines written to descriptor 2 since the previous call."""
        size = os.fstat(self._file.fileno()).st_size
        data = os.pread(self._file.fileno(), size - self._offset, self._offset)
        complete = data[:data.rfind(b"\n") + 1]
        self._offset += len(complete)
        return complete.decode(errors="replace").splitlines()
