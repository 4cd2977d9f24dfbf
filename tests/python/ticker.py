"""Shows whether other Python threads run while a call is inside the library."""

import threading
import time


class Ticker:
    """A thread that notes the time every couple of milliseconds while the block runs."""

    def __init__(self):
        self.ticks = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self.ticks.append(time.monotonic())
            time.sleep(0.002)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()

    def ran_inside(self, call):
        """Runs ``call`` and returns (its result, whether this thread ticked well inside it)."""
        start = time.monotonic()
        result = call()
        end = time.monotonic()
        margin = (end - start) / 4
        return result, any(start + margin < t < end - margin for t in self.ticks)
