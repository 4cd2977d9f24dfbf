"""What answers on a port: the tool's own probe.

One wake-up byte goes out; the first reply code tells the kind: 0x0B an arm's identity
record (an arm when its model byte is 4), 0xD0 a handle's information message, 0xDA a
handle's framed status (a handle streams these by itself), 0xDF a handle's error response,
anything else a device of some other kind. The bytes are read through the raw access of an
``Osmira`` (it has a per-call timeout and releases the interpreter lock while it waits,
where a ``Handle`` waits a fixed 5 s), and decoded here. Building that ``Osmira`` resets the
process-wide arm model, which nothing else in the tool's process relies on.
"""

import errno
import os
import struct
import time
import uuid

from tavix_tools.ports import is_character_device, link_of, open_stream

WAKEUP = b"\x0a"
ARM_IDENTITY = 0x0B
HANDLE_INFO = 0xD0
HANDLE_STATUS = 0xDA
HANDLE_ERROR = 0xDF
NOTIFICATIONS = (0xBA, 0xBB)
FRAME_END = 0xC0
ARM_MODEL = 4
PAYLOAD_LENGTHS = {ARM_IDENTITY: 21, HANDLE_INFO: 6, HANDLE_ERROR: 3}
LONGEST_FRAME = 64  # a framed status is about 20 bytes; more without an end marker is not one
FOREIGN_SAMPLE = 32  # bytes of a foreign answer shown to the user


class RawLine:
    """Reads and writes bytes on an open stream, each read bounded by ``timeout`` seconds."""

    def __init__(self, api, stream, timeout):
        self.stream = stream
        self.raw = api.Osmira(stream, timeout)
        self.timeout = timeout

    def close(self):
        """Closes the port (the stream closes with the last object that uses it)."""
        self.stream = self.raw = None

    def send(self, data):
        self.raw.send_raw(data)

    def read(self, n, timeout=None):
        """Up to ``n`` bytes: all of them as soon as they are there, else what came in time."""
        return self.raw.read_raw(n, self.timeout if timeout is None else timeout)

    def next_message(self):
        """(code, payload) of the next message, notifications skipped; (None, b"") when
        nothing came. A framed status comes unescaped, without its end marker; an unknown
        code comes with whatever followed it."""
        while True:
            head = self.read(1)
            if not head:
                return None, b""
            code = head[0]
            if code in NOTIFICATIONS:
                header = self.read(2)
                self.read(header[1] if len(header) == 2 else 0)
                continue
            if code in PAYLOAD_LENGTHS:
                return code, self.read(PAYLOAD_LENGTHS[code])
            if code == HANDLE_STATUS:
                return code, self._framed_body()
            return code, self.read(FOREIGN_SAMPLE, timeout=min(self.timeout, 0.05))

    def _framed_body(self):
        body = bytearray()
        escaped = False
        while len(body) < LONGEST_FRAME:
            byte = self.read(1)
            if not byte or (byte[0] == FRAME_END and not escaped):
                break
            if escaped:
                body.append({0xDC: 0xC0, 0xDD: 0xDB}.get(byte[0], byte[0]))
                escaped = False
            elif byte[0] == 0xDB:
                escaped = True
            else:
                body.append(byte[0])
        return bytes(body)


def decode_arm_identity(payload):
    device_id, model, hardware, firmware = struct.unpack_from("<HBBB", payload)
    return {"device_id": device_id, "model": model, "hardware_version": hardware,
            "firmware_version": firmware, "uuid": str(uuid.UUID(bytes=bytes(payload[5:21])))}


def decode_handle_info(payload):
    _remaining, device_id, model, hardware, firmware = struct.unpack("<BHBBB", payload)
    return {"device_id": device_id, "model": model, "hardware_version": hardware, "firmware_version": firmware}


def handle_id_of_status(body):
    """The device id of a status message: byte 4 of a sound framed status (its last byte
    is the checksum), else the first two bytes of an answered one; None when too short."""
    if len(body) > 4 and body[-1] == (HANDLE_STATUS + sum(body[:-1])) & 0xFF:
        return body[4]
    return body[0] | body[1] << 8 if len(body) >= 2 else None


def describe_bytes(data):
    """Bytes as hex, with their printable text when there is some: 48 69 ("Hi")."""
    text = "".join(chr(b) if 32 <= b < 127 else "." for b in data)
    shown = data.hex(" ")
    return f'{shown} ("{text}")' if any(32 <= b < 127 for b in data) else shown


def not_a_device(path, reason, detail, **extra):
    return {"port": path, "verdict": "none", "reason": reason, "detail": detail, **extra}


def cannot_open(path, error):
    return not_a_device(path, "cannot_open", f"cannot open: {os.strerror(error)}", errno=error)


def classify(path, line, code, payload):
    """The verdict for the first message a port sent after the wake-up."""
    if code is None:
        return not_a_device(path, "no_answer", f"no answer within {line.timeout:g} s")
    answer = bytes([code]) + payload
    if code == ARM_IDENTITY:
        if len(payload) < PAYLOAD_LENGTHS[ARM_IDENTITY]:
            return foreign(path, answer, f"a cut-short identity record ({len(payload)} of 21 bytes)")
        identity = decode_arm_identity(payload)
        if identity["model"] != ARM_MODEL:
            return foreign(path, answer, f"an identity record of model {identity['model']}")
        return {"port": path, "verdict": "arm", **identity}
    if code == HANDLE_INFO and len(payload) == PAYLOAD_LENGTHS[HANDLE_INFO]:
        return {"port": path, "verdict": "handle", "link": link_of(path), **decode_handle_info(payload)}
    if code == HANDLE_STATUS:
        return _handle_after_status(path, line, payload)
    if code == HANDLE_ERROR and len(payload) == PAYLOAD_LENGTHS[HANDLE_ERROR]:
        return handle_without_information(path, payload[0] | payload[1] << 8)
    return foreign(path, answer, describe_bytes(answer))


def foreign(path, answer, what):
    return not_a_device(path, "foreign", f"answered as something else: {what}", answer=answer.hex())


def handle_without_information(path, device_id):
    return {"port": path, "verdict": "handle", "link": link_of(path), "device_id": device_id,
            "model": None, "hardware_version": None, "firmware_version": None}


def _handle_after_status(path, line, status_body):
    """A handle whose streamed status came first: its answer to the wake-up follows."""
    code, payload = line.next_message()
    if code == HANDLE_INFO and len(payload) == PAYLOAD_LENGTHS[HANDLE_INFO]:
        return {"port": path, "verdict": "handle", "link": link_of(path), **decode_handle_info(payload)}
    return handle_without_information(path, handle_id_of_status(status_body))


def wake(line):
    """Drops what waits on the line, sends the wake-up and reads the first message."""
    line.raw.flush_input()
    line.send(WAKEUP)
    return line.next_message()


def open_line(api, path, timeout):
    """(RawLine, None) on an open port, or (None, verdict) saying why it is not usable."""
    if not os.path.exists(path):
        return None, cannot_open(path, errno.ENOENT)
    if not is_character_device(path):
        return None, not_a_device(path, "not_a_serial_port", "not a character device")
    stream, error = open_stream(api, path)
    if error:
        return None, cannot_open(path, error)
    return RawLine(api, stream, timeout), None


def identify(api, path, timeout):
    """(RawLine or None, verdict): the verdict for ``path`` (a dict with "port", "verdict"
    (arm, handle or none) and the fields of that verdict), and the line when it is open."""
    line, verdict = open_line(api, path, timeout)
    if line is None:
        return None, verdict
    try:
        return line, classify(path, line, *wake(line))
    except RuntimeError as error:  # send_raw: the write failed (the line hung up)
        return line, not_a_device(path, "cannot_write", f"cannot write: {error}")


def probe(api, path, timeout):
    """The verdict for ``path`` (see identify), plus "seconds" the probe took; the port is
    closed again."""
    start = time.monotonic()
    line, verdict = identify(api, path, timeout)
    if line is not None:
        line.close()
    verdict["seconds"] = round(time.monotonic() - start, 3)
    return verdict
