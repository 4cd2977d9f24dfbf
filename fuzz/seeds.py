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


class Steering:
    """Input of a target: a first steering byte, then opcodes with their arguments.

    Opcode 0 is Arrive (u16 count, then the bytes) in every target.
    """

    def __init__(self, first):
        self.data = bytearray([first])

    def op(self, code, *words):
        self.data += bytes([code]) + b"".join(struct.pack("<H", w) for w in words)
        return self

    def arrive(self, payload):
        self.op(0, len(payload)).data += payload
        return self


class DeviceFraming(Steering):
    """Steering for fuzz_device_framing (see the layout at the top of that file)."""

    SHORT_DEADLINE, NO_DEADLINE, ENDLESS = 0, 3, 7

    def header_code(self):
        return self.op(1)

    def read_bytes(self, n):
        return self.op(2, n)

    def read_with_timeout(self, n):
        return self.op(3, n)

    def flush(self):
        return self.op(4)


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


class HandleReceive(Steering):
    """Steering for fuzz_handle_receive."""

    SHORT_DEADLINE, NO_DEADLINE = 1, 0

    def receive(self):
        return self.op(1)

    def receive_throwing(self):
        return self.op(2)


def status_message(user_data, announced=None):
    """An unframed status message: id 0x1234, error flag, level, quaternion, length, data."""
    length = len(user_data) if announced is None else announced
    return (bytes([0xDA, 0x34, 0x12, 0x01, 0x07]) + floats(0.5, -0.5, 0.25, 1.0)
            + bytes([length]) + bytes(user_data))


def handle_receive():
    info = bytes([0xD0, 0x05, 0x34, 0x12, 0x02, 0x03, 0x04])
    error = bytes([0xDF, 0x07, 0x00, 0x2A])
    notification = bytes([0xBA, 0x07, 0x03, 1, 2, 3])
    h = HandleReceive
    return {
        "info": h(h.SHORT_DEADLINE).arrive(info).receive(),
        "error-response": h(h.SHORT_DEADLINE).arrive(error).receive(),
        "status-without-user-data": h(h.SHORT_DEADLINE).arrive(status_message(b"")).receive(),
        "status-255-user-data": h(h.SHORT_DEADLINE)
        .arrive(status_message(bytes(range(255)))).receive(),
        "status-announces-255-then-stops": h(h.SHORT_DEADLINE)
        .arrive(status_message(bytes(10), announced=255)).receive().receive(),
        "fixed-part-cut": h(h.NO_DEADLINE).arrive(status_message(b"")[:12]).receive()
        .arrive(info[:4]).receive(),
        "notification-then-each": h(h.NO_DEADLINE)
        .arrive(notification + info + notification + error + status_message(b"\x01\x02")).receive()
        .receive().receive().receive(),
        "foreign-code-leaves-payload": h(h.SHORT_DEADLINE)
        .arrive(bytes([0x0B]) + info).receive().receive(),
        "callback-throws": h(h.SHORT_DEADLINE)
        .arrive(info + status_message(b"\xAA") + error).receive_throwing().receive_throwing()
        .receive_throwing().receive_throwing(),
    }


class HoldraSnapshot(Steering):
    """Steering for fuzz_holdra_status."""

    SHORT_DEADLINE, NO_DEADLINE = 1, 0

    def get(self, during_wait=b""):
        self.op(1, len(during_wait)).data += during_wait
        return self


EXAMPLE_FRAME = bytes.fromhex("DA 00 00 00 45 07 00 00 00 00 40 00 20 00 E0 FF 7F C8 AC C0")


def framed_status(payload):
    """0xDA, the payload and its checksum escaped, then the end marker."""
    body = payload + bytes([(0xDA + sum(payload)) % 256])
    escaped = body.replace(b"\xdb", b"\xdb\xdd").replace(b"\xc0", b"\xdb\xdc")
    return b"\xda" + escaped + b"\xc0"


def status_payload(device_id, extra=b""):
    return bytes([0, 0, 0, 0x45, device_id, 0, 0, 0, 0, 0x40, 0, 0x20, 0, 0xE0, 0xFF, 0x7F, 0xC8]) + extra


def holdra_status():
    escaped = framed_status(status_payload(0xC0, b"\xdb\xc0"))
    bad = bytearray(EXAMPLE_FRAME)
    bad[6] ^= 1
    long_body = framed_status(status_payload(3, bytes([0xC0, 0xDB] * 600)))
    s = HoldraSnapshot
    return {
        "example-frame": s(s.SHORT_DEADLINE).arrive(EXAMPLE_FRAME).get(),
        "escaped-bytes": s(s.SHORT_DEADLINE).arrive(escaped).get(),
        "bad-checksum-then-good": s(s.SHORT_DEADLINE).arrive(bytes(bad) + escaped).get().get(),
        "two-frames": s(s.SHORT_DEADLINE).arrive(EXAMPLE_FRAME + escaped).get().get().get(),
        "arrives-during-wait": s(s.NO_DEADLINE).arrive(EXAMPLE_FRAME[:7]).get(EXAMPLE_FRAME[7:]),
        "silence": s(s.NO_DEADLINE).get().arrive(EXAMPLE_FRAME[:18]).get(),
        "100-foreign-codes": s(s.SHORT_DEADLINE).arrive(bytes([1]) * 100 + EXAMPLE_FRAME).get(),
        "101-foreign-codes": s(s.SHORT_DEADLINE).arrive(bytes([1]) * 101 + EXAMPLE_FRAME).get(),
        "notifications-between": s(s.SHORT_DEADLINE)
        .arrive(bytes([0xBA, 0, 3, 0xDA, 0xDA, 0xDA, 0xBB, 0, 0]) + EXAMPLE_FRAME).get(),
        "short-body-sound-checksum": s(s.SHORT_DEADLINE)
        .arrive(framed_status(status_payload(5)[:16]) + bytes(3)).get(),
        "trailing-escape": s(s.NO_DEADLINE).arrive(EXAMPLE_FRAME[:-1] + b"\xdb" + EXAMPLE_FRAME).get(),
        "stray-escape": s(s.SHORT_DEADLINE).arrive(EXAMPLE_FRAME[:5] + b"\xdb" + EXAMPLE_FRAME[5:]).get(),
        "header-wait-runs-dry": s(s.SHORT_DEADLINE).arrive(bytes([1]) * 19).get().arrive(bytes(19)).get(),
        "cut-frame": s(s.NO_DEADLINE).arrive(framed_status(status_payload(1, bytes(20)))[:25]).get(),
        "long-escaped-body": s(s.SHORT_DEADLINE).arrive(long_body).get(),
    }


class OsmiraReplies(Steering):
    """Steering for fuzz_osmira_replies."""

    SHORT_DEADLINE, NO_DEADLINE = 1, 0
    (RECEIVE_STATE, RECEIVE_JOINT_STATE, RECEIVE_DEVICE_INFO, RECEIVE_CURRENT, DEVICE_ID, FIRMWARE_VERSION,
     MOTOR_CURRENTS, ORIENTATION, POWER_STATUS, TEMPERATURE) = range(1, 11)

    def call(self, *opcodes):
        for opcode in opcodes:
            self.op(opcode)
        return self


def osmira_replies():
    state = bytes([0x2B]) + floats(0.1, 0.2, 0.3, -1.0, 0.0, 2.5)
    joint_state = bytes([0x1B]) + floats(10.0, -20.0, 30.0, 0.5, 0.25, 0.125)
    info = bytes([0x0B, 0x34, 0x12, 0x04, 0x02, 0x07]) + bytes(range(16))
    current = bytes([0xAB]) + floats(0.5, 1.5, -2.5)
    device_id = bytes([0x0D, 0xD1, 16]) + bytes(range(16, 32))
    firmware = bytes([0x0D, 0xD2, 16]) + bytes(range(32, 48))
    orientation = bytes([0x0C]) + floats(0.0, 0.7071, 0.0, 0.7071)
    notification = bytes([0xBA, 0x07, 0x03, 1, 2, 3])
    o = OsmiraReplies
    return {
        "every-reply": o(o.SHORT_DEADLINE)
        .arrive(state + joint_state + info + current + device_id + firmware + current + orientation
                + bytes([0xAC, 0x03, 0xAA]) + floats(36.6))
        .call(*range(1, 11)),
        "notifications-before-replies": o(o.NO_DEADLINE)
        .arrive(notification + state + notification + device_id).call(o.RECEIVE_STATE, o.DEVICE_ID),
        "wrong-codes-resynchronise": o(o.SHORT_DEADLINE)
        .arrive(joint_state + bytes([0x0D, 0xD2]) + bytes(1100)).call(o.RECEIVE_STATE, o.DEVICE_ID)
        .arrive(state).call(o.RECEIVE_STATE),
        "identifier-length-not-16": o(o.SHORT_DEADLINE).arrive(bytes([0x0D, 0xD1, 15]) + bytes(range(1, 17)))
        .call(o.DEVICE_ID),
        "replies-cut-short": o(o.SHORT_DEADLINE).arrive(info[:9]).call(o.RECEIVE_DEVICE_INFO)
        .arrive(device_id[:10]).call(o.DEVICE_ID).arrive(bytes([0xAA, 1])).call(o.TEMPERATURE),
        "power-status-bits": o(o.NO_DEADLINE).arrive(bytes([0xAC, 0x02, 0xAC, 0x01]))
        .call(o.POWER_STATUS, o.POWER_STATUS, o.POWER_STATUS),
    }


TARGETS = {
    "fuzz_device_framing": device_framing,
    "fuzz_handle_receive": handle_receive,
    "fuzz_holdra_status": holdra_status,
    "fuzz_osmira_replies": osmira_replies,
}


def main():
    for target, seeds in TARGETS.items():
        folder = CORPUS / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, steering in seeds().items():
            (folder / f"seed-{name}").write_bytes(bytes(steering.data))


if __name__ == "__main__":
    main()
