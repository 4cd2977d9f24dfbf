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
