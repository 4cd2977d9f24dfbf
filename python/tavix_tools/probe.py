"""What answers on a port, in the tool's words: the library's probe (``probe_port``), timed,
with a one-line detail for a port that carries no arm or handle."""

import os
import time

from tavix_tools.commands.doctor import holders
from tavix_tools.errors import USAGE, CommandError

DEVICES = ("arm", "handle")


def describe_bytes(data):
    """Bytes as hex, with their printable text when there is some: 48 69 ("Hi")."""
    text = "".join(chr(b) if 32 <= b < 127 else "." for b in data)
    shown = data.hex(" ")
    return f'{shown} ("{text}")' if any(32 <= b < 127 for b in data) else shown


def holder_of(path):
    """"pid N (command)" of a process that holds the port open, or None when none is seen."""
    try:
        found, _hidden = holders(os.stat(path).st_rdev)
    except OSError:
        return None
    return f"pid {found[0][0]} ({found[0][1]})" if found else None


def detail_of(verdict):
    """Why the port carries no arm or handle, in one line."""
    kind = verdict["kind"]
    if kind == "unknown":
        return f"{verdict['reason']}: {describe_bytes(verdict['answer'])}"
    if kind == "busy":
        holder = holder_of(verdict["port"])
        return f"busy: {verdict['reason']}" + (f", {holder}" if holder else "")
    return verdict["reason"]


def probe(api, path, timeout):
    """The library's verdict for ``path`` (see probe_port) with "detail" (for a port that
    carries no device), "seconds" the probe took and the answer as hex text; the port is
    closed again."""
    start = time.monotonic()
    try:
        verdict = api.probe_port(path, timeout)
    except ValueError as error:  # a timeout out of the library's range
        raise CommandError(str(error), USAGE) from None
    verdict["seconds"] = round(time.monotonic() - start, 3)
    if verdict["kind"] not in DEVICES:
        verdict["detail"] = detail_of(verdict)
    verdict["answer"] = verdict["answer"].hex()
    return verdict
