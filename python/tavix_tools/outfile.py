"""Files a command writes: checked before any device is touched, written under a temporary
name beside the final one, and moved into place (os.replace, atomic within a file system)
only once whole. Until then an older file of that name stays as it was, and a run that dies
leaves at most the temporary file, whose name says it is not the result.
"""

import os
import stat
import tempfile

from tavix_tools.errors import USAGE, CommandError

PARTIAL = ".partial"


def check_target(path):
    """Fails (status 2, one line) when ``path`` cannot be the name of a file written here."""
    target = os.path.realpath(path)
    directory = os.path.dirname(target)
    if os.path.isdir(target):
        raise cannot_write_there(path, "it is a directory")
    if not os.path.isdir(directory):
        raise cannot_write_there(path, f"there is no folder {directory}")
    if os.path.exists(target):
        if not stat.S_ISREG(os.stat(target).st_mode):
            raise cannot_write_there(path, "not a regular file, so it is not replaced")
        if not os.access(target, os.W_OK):
            raise cannot_write_there(path, "permission denied")


def cannot_write_there(path, why):
    return CommandError(f"{path}: cannot write there: {why}", USAGE)


def _mode_for(target):
    """The permissions the finished file gets: those of the file it replaces, else what
    open() would give a new file (a temporary file starts out private)."""
    if os.path.exists(target):
        return stat.S_IMODE(os.stat(target).st_mode)
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


class PendingFile:
    """A file being written under a temporary name beside ``path`` (through a symbolic link,
    beside its target); ``fd`` is open for writing. Raises OSError when it cannot be made."""

    def __init__(self, path):
        self.path = path
        self.target = os.path.realpath(path)
        self.fd, self.temp = tempfile.mkstemp(dir=os.path.dirname(self.target),
                                              prefix=os.path.basename(self.target) + ".", suffix=".tmp")
        os.fchmod(self.fd, _mode_for(self.target))

    def _close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def commit(self):
        """Moves the whole file into place."""
        os.fsync(self.fd)
        self._close()
        os.replace(self.temp, self.target)
        self.temp = None

    def keep_as_partial(self):
        """Keeps an unfinished file as PATH.partial; returns that name."""
        self._close()
        os.replace(self.temp, self.target + PARTIAL)
        self.temp = None
        return self.path + PARTIAL

    def discard(self):
        """Removes the temporary file, unless it was moved into place or kept."""
        self._close()
        if self.temp is not None:
            try:
                os.unlink(self.temp)
            except FileNotFoundError:
                pass
            self.temp = None


def open_output(path):
    """A PendingFile for ``path``, or a one-line usage error saying why it cannot be."""
    check_target(path)
    try:
        return PendingFile(path)
    except OSError as error:
        raise cannot_write_there(path, error.strerror) from None


class WriteFailed(Exception):
    """Writing rows failed (``error``, an OSError: the disk is full, say); the file holds
    the first ``rows`` rows whole and nothing after them."""

    def __init__(self, error, rows):
        super().__init__(error.strerror or str(error))
        self.error, self.rows = error, rows


class RowStream:
    """Encoded rows written to ``fd`` in chunks; ``rows`` is the number written whole. A
    write that fails (raised as WriteFailed) leaves the file cut back to its last whole row,
    so a reader never sees a torn one."""

    def __init__(self, fd, encode, header=b""):
        self.fd, self.encode = fd, encode
        self.pending = [header] if header else []
        self.length = 0  # bytes of whole rows in the file
        self.rows = -len(self.pending)  # the header is not a row
        self.flush()

    def add(self, row):
        self.pending.append(self.encode(row))

    def flush(self):
        data = memoryview(b"".join(self.pending))
        done = 0
        try:
            while done < len(data):
                done += os.write(self.fd, data[done:])
        except OSError as error:
            self._settle(done)
            raise WriteFailed(error, max(self.rows, 0)) from None
        self._settle(done)

    def _settle(self, done):
        """Counts the pending rows that went out whole; cuts off one that went out torn."""
        whole = size = 0
        for piece in self.pending:
            if size + len(piece) > done:
                break
            size += len(piece)
            whole += 1
        if size < done:
            os.ftruncate(self.fd, self.length + size)
        self.length += size
        self.rows += whole
        self.pending = []
