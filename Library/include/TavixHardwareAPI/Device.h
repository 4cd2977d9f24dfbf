// What every device object shares: the stream it talks through, the read timeout and two
// fixed 1024-byte buffers, plus framing of commands and reception of replies.
//
// Frames on the wire (little-endian, packed, no checksum):
//   command: code byte, then `count` binary32 floats or command-defined argument bytes;
//   reply:   header code byte, then a payload whose length the code fixes;
//   notification (unsolicited, may precede any reply): 0xBA or 0xBB, one ignored byte,
//            a length byte L, then L payload bytes. The reader discards notifications.
//
// Failures never throw: readers return 0 and print one error line on standard error
// ("[err] Library/src/Device:<line>> <message>: [<errno>] <text>").
//
// Threads: no locking; a device and its stream are used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "TavixHardwareAPI/SerialStream.h"

namespace Tavix::HardwareAPI::Devices {

class Device {
public:
    static constexpr size_t kBufferSize = 1024;
    static constexpr float kDefaultTimeout = 5.0f;

    // Keeps a reference to `stream` (not owned; it must outlive the device) and allocates
    // both buffers, zero-filled. `timeout` is in seconds; <= 0, NaN, or a century or more
    // (infinity included) means no deadline.
    Device(IO::SerialStream& stream, float timeout);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Writes `code` followed by `count` (0..255) little-endian floats in one write; with no
    // floats, the one-byte command alone (`values` may then be null).
    void SendCommand(uint8_t code, const float* values = nullptr, int count = 0);
    // Writes the first `n` (1..1024) bytes of write_buffer unchanged in one write.
    void SendBytes(size_t n);
    // Waits for the next reply header code, skipping notification frames (each wait has a
    // fresh deadline). Returns the code, or 0 on timeout or a failed stream.
    uint8_t ReadHeaderCode();
    // Waits until `n` bytes are waiting and reads them into read_buffer[0..n). Returns `n`,
    // or 0 on timeout, a failed stream, or a request larger than the buffer.
    int ReadBytes(size_t n);
    // Reads up to `n` bytes into `dst`: at once when all `n` are waiting, otherwise
    // whatever is waiting when `timeout` seconds have passed. A `timeout` that means no
    // deadline (see the constructor) waits for all `n` (but returns 0 at once if the port is
    // not open). Prints nothing.
    size_t ReadWithTimeout(char* dst, size_t n, float timeout);
    // Discards at most 32 x 1024 waiting bytes without waiting for more.
    void FlushInput();

    float read_timeout;
    IO::SerialStream* stream;
    std::unique_ptr<char[]> write_buffer;
    std::unique_ptr<char[]> read_buffer;

private:
    enum class Wait { Ready, TimedOut, PortClosed };
    // Busy-polls the stream's count of waiting bytes until `n` are there.
    Wait WaitForBytes(size_t n) const;
    // Reads exactly `n` bytes with the standard unformatted read; true when the state is good.
    bool ReadInto(char* dst, size_t n);
};

}  // namespace Tavix::HardwareAPI::Devices
