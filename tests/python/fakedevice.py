"""A device at the far end of a pseudo-terminal.

The library opens ``path`` like a serial port; the test plays the device on the master
side: ``send`` puts bytes on the line now, ``send_after`` schedules pieces from a
scripting thread (tests never sleep to wait for readiness), ``received`` returns what the
library wrote, and ``hang_up`` (or ``hang_up_after``, in the script) closes the master
like a pulled cable. The C++ tests use the same idea (tests/cpp/FakeDevice.h).
"""

import os
import select
import struct
import threading
import time
import tty


def floats(*values):
    """Little-endian binary32 encoding of ``values``."""
    return struct.pack("<%df" % len(values), *values)


# An arm's answer to the wake-up: device id 0x1234, model 4, hardware 2, firmware 7, a uuid.
ARM_IDENTITY = bytes([0x0B, 0x34, 0x12, 4, 2, 7]) + bytes(range(16))
# The force exchange's request at zero force: what must be the last frame of every tool run.
ZERO_FORCE_FRAME = b"\x2a" + floats(0, 0, 0)


class FakeDevice:
    def __init__(self):
        self.master, self._slave = os.openpty()
        tty.setraw(self.master)
        tty.setraw(self._slave)
        self.path = os.ttyname(self._slave)
        self._script = []
        self._lock = threading.Lock()

    def send(self, data):
        view = memoryview(bytes(data))
        while view:
            written = os.write(self.master, view)
            view = view[written:]

    def send_after(self, delay, data):
        """Sends ``data`` ``delay`` seconds after the previously scheduled piece."""

        def send_if_connected():
            with self._lock:
                if self.master >= 0:
                    self.send(data)

        self._after(delay, send_if_connected)

    def hang_up_after(self, delay):
        """Hangs up ``delay`` seconds after the previously scheduled piece."""
        self._after(delay, self.hang_up)

    def _after(self, delay, step):
        previous = self._script[-1] if self._script else None

        def play():
            if previous is not None:
                previous.join()
            time.sleep(delay)
            step()

        worker = threading.Thread(target=play, daemon=True)
        worker.start()
        self._script.append(worker)

    def join(self):
        for worker in self._script:
            worker.join()
        self._script.clear()

    def received(self, at_least=0, timeout=1.0):
        """What the library wrote since the last call; waits up to ``timeout`` for ``at_least`` bytes."""
        out = bytearray()
        deadline = time.monotonic() + timeout
        while True:
            wait = 0 if len(out) >= at_least else max(deadline - time.monotonic(), 0)
            ready, _, _ = select.select([self.master], [], [], wait)
            if not ready:
                return bytes(out)
            chunk = os.read(self.master, 4096)
            if not chunk:
                return bytes(out)
            out += chunk

    def hang_up(self):
        with self._lock:
            if self.master >= 0:
                os.close(self.master)
                self.master = -1

    def close(self):
        self.join()
        self.hang_up()
        if self._slave >= 0:
            os.close(self._slave)
            self._slave = -1


REPLY_TO = {0x2A: 0x2B, 0x2C: 0x2B, 0x1A: 0x1B, 0x1C: 0x1B}


class Responder:
    """An arm at the far end of ``device`` that answers every control-loop request itself.

    The n-th request (counted from 1) is answered by its reply code, then position
    (n, 0, 0) and, as velocity, the three values it carried, so that a test can tell which
    request an answer belongs to. ``delays`` maps a request number to how much later than at
    once its answer goes out (a line that answers late on purpose); ``default_delay`` applies
    to the others; an answer is never sent before the one to an earlier request. Stops when
    the device hangs up or ``stop`` is called.
    """

    def __init__(self, device, delays=None, default_delay=0.0):
        self.device = device
        self.delays = dict(delays or {})
        self.default_delay = default_delay
        self.requests = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def answer(self, n, code, values):
        return bytes([REPLY_TO[code]]) + floats(float(n), 0.0, 0.0) + values

    def _serve(self):
        pending = bytearray()
        due = []  # (time, bytes) in request order
        last_due = 0.0
        while not self._stop.is_set():
            wait = max(min((t for t, _ in due), default=time.monotonic() + 0.01) - time.monotonic(), 0)
            try:
                ready, _, _ = select.select([self.device.master], [], [], min(wait, 0.01))
                if ready:
                    chunk = os.read(self.device.master, 4096)
                    if not chunk:
                        return
                    pending += chunk
            except (OSError, ValueError):
                return
            while len(pending) >= 13 and pending[0] in REPLY_TO:
                self.requests += 1
                n = self.requests
                # A device answers in order: a late answer holds back the ones after it.
                last_due = max(time.monotonic() + self.delays.get(n, self.default_delay), last_due)
                due.append((last_due, self.answer(n, pending[0], bytes(pending[1:13]))))
                del pending[:13]
            now = time.monotonic()
            for item in [d for d in due if d[0] <= now]:
                due.remove(item)
                try:
                    self.device.send(item[1])
                except OSError:
                    return

    def stop(self):
        self._stop.set()
        self._thread.join()
