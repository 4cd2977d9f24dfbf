#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets under tests/fuzz-corpus/<target>/.

Seeds are valid exchanges, so the fuzzer starts from frames a device really sends. Run it
after changing a target's input layout; the files it writes are committed and replayed by
`make test`. Crash reproducers are kept next to them by hand (named crash-<what>).
"""
import pathlib
import struct

CORPUS = pathlib.Path(__file__).resolve().parent.parent / "tests" / "fuzz-corpus"


def floats(*values):
    return struct.pack(f"<{len(values)}f", *values)


class DeviceFraming:
    """Steering for fuzz_device_framing (see the layout at the top of that file)."""

    SHORT_DEADLINE, NO_DEADLINE, ENDLESS = 0, 3, 7

    def __init__(self, timeout):
        self.data = bytearray([timeout])

    def arrive(self, payload):
        self.data += bytes([0]) + struct.pack("<H", len(payload)) + payload
        return self

    def header_code(self):
        self.data += bytes([1])
        return self

    def read_bytes(self, n):
        self.data += bytes([2]) + struct.pack("<H", n)
        return self

    def read_with_timeout(self, n):
        self.data += bytes([3]) + struct.pack("<H", n)
        return self

    def flush(self):
        self.data += bytes([4])
        return self


def device_framing():
    state_reply = bytes([0x2B]) + floats(0.1, 0.2, 0.3, -1.0, 0.0, 2.5)
    notification = bytes([0xBA, 0x07, 0x03, 1, 2, 3])
    empty_notification = bytes([0xBB, 0x00, 0x00])
    longest_notification = bytes([0xBA, 0x00, 0xFF]) + bytes(range(255))
    d = DeviceFraming
    return {
        "reply": d(d.SHORT_DEADLINE).arrive(state_reply).header_code().read_bytes(24),
        "notification-then-reply": d(d.SHORT_DEADLINE)
        .arrive(notification + empty_notification + state_reply).header_code().read_bytes(24),
        "longest-notification": d(d.SHORT_DEADLINE)
        .arrive(longest_notification + state_reply).header_code().read_bytes(24),
        "reply-in-pieces": d(d.SHORT_DEADLINE)
        .arrive(notification[:2]).header_code().arrive(notification[2:4]).header_code()
        .arrive(state_reply[:5]).header_code().read_bytes(24).arrive(state_reply[5:]).read_bytes(20),
        "wrong-code-resynchronises": d(d.SHORT_DEADLINE)
        .arrive(bytes([0x99]) + floats(1.0)).header_code().read_bytes(1024)
        .arrive(bytes(1024)).read_bytes(1024).read_bytes(1025).read_bytes(2047),
        "no-deadline": d(d.NO_DEADLINE)
        .arrive(notification + state_reply[:9]).header_code().read_bytes(24)
        .read_with_timeout(12).read_with_timeout(24),
        "endless-timeout": d(d.ENDLESS)
        .arrive(state_reply[:3]).header_code().read_bytes(24).read_with_timeout(8),
        "partial-timed-read": d(d.SHORT_DEADLINE)
        .arrive(state_reply[:3]).read_with_timeout(8).arrive(bytes(3000)).flush().read_bytes(1),
    }


TARGETS = {"fuzz_device_framing": device_framing}


def main():
    for target, seeds in TARGETS.items():
        folder = CORPUS / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, steering in seeds().items():
            (folder / f"seed-{name}").write_bytes(bytes(steering.data))


if __name__ == "__main__":
    main()
