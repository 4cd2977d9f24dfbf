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
// Every wait can be cancelled by the calling thread's CancelScope (Cancellation.h): it then
// ends at once, silently, like a missing reply. A reply that an interrupted call was waiting
// for may still arrive; the device remembers what its line owes and the next framed operation
// first waits for those bytes (at most read_timeout per wait) and discards them, so that a late
// reply is never taken as the answer to a later request.
//
// Threads: no locking; a device and its stream are used by one thread at a time. Callers that
// share a device between threads coordinate through `ownership` (LineOwnership).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "TavixHardwareAPI/Cancellation.h"
#include "TavixHardwareAPI/LineOwnership.h"
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
    // floats, the one-byte command alone (`values` may then be null). Settles what the line
    // owes first, and writes nothing when that is cancelled.
    void SendCommand(uint8_t code, const float* values = nullptr, int count = 0);
    // Writes the first `n` (1..1024) bytes of write_buffer unchanged in one write, after
    // settling what the line owes (nothing is written when that is cancelled).
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
    // Discards at most 32 x 1024 waiting bytes without waiting for more, and forgets what the
    // line owes: the caller resynchronises by hand.
    void FlushInput();

    // The rest of the frames that an interrupted call was reading, in line order: the 2-byte
    // header of a notification whose code was read, raw bytes of a frame already begun, reply
    // header codes not read yet (notifications before them are skipped), then raw payload
    // bytes after them. When `length_at` is set, the payload byte at that index announces that
    // many more bytes (a handle status message's user data).
    struct Owed {
        static constexpr int kNoLength = -1;
        bool notification_header = false;
        size_t before = 0;
        int headers = 0;
        size_t after = 0;
        int length_at = kNoLength;

        bool Empty() const { return !notification_header && before == 0 && headers == 0 && after == 0; }
    };
    // ReadHeaderCode for a reply whose `payload` bytes follow the code; when the wait is
    // cancelled, the code and the payload are recorded as owed (each cancelled header read of
    // one call adds a header; the payload is the same for all of them).
    // With `expect` (a reply code), a reply that is wholly waiting once a byte has come (at
    // most kWholeReplySize bytes with its code) is read in one read: when its code is `expect`
    // the next ReadPayload(payload) hands its payload over without reading; otherwise the
    // bytes are put back (SerialStream::Unread) and read as without `expect`.
    uint8_t ReadReplyHeader(size_t payload, uint8_t expect = 0);
    // ReadBytes(n) of a payload; when the wait is cancelled the `n` bytes are recorded as owed
    // (`length_at`: see Owed).
    int ReadPayload(size_t n, int length_at = Owed::kNoLength);
    static constexpr size_t kWholeReplySize = 32;
    // Waits for what the line owes and discards it, silently, at most read_timeout per wait;
    // what never comes is forgotten. Returns false when the wait was cancelled (what is still
    // owed stays owed). Framed operations call it before they send or read.
    bool SettleOwed();
    const Owed& owed_reply() const { return owed; }

    float read_timeout;
    // How long a wait for reply bytes busy-polls before it sleeps in SerialStream::AwaitInput
    // (a millisecond at most at a time) until input comes; negative (the default): it never
    // sleeps, for the lowest latency. A thread whose far end is short of processor time
    // gives its processor up this way.
    std::chrono::microseconds spin_limit{-1};
    IO::SerialStream* stream;
    std::unique_ptr<char[]> write_buffer;
    std::unique_ptr<char[]> read_buffer;
    LineOwnership ownership;

private:
    enum class Wait { Ready, TimedOut, PortClosed, Cancelled };
    // Busy-polls the stream's count of waiting bytes until `n` are there; `waiting` (when
    // given) receives the last count seen when Ready.
    Wait WaitForBytes(size_t n, size_t* waiting = nullptr) const;
    // Reads exactly `n` bytes with the standard unformatted read; true when the state is good.
    bool ReadInto(char* dst, size_t n);
    // ReadHeaderCode, printing its error lines only when `report` is true; `expect` and
    // `payload`: see ReadReplyHeader.
    uint8_t NextHeaderCode(bool report, uint8_t expect = 0, size_t payload = 0);
    // Reads a reply of `expect` whose `payload` bytes follow, in one read, when all of it is
    // among the `waiting` bytes; false (the line as it was) otherwise.
    bool TakeWholeReply(uint8_t expect, size_t payload, size_t waiting);
    // Waits for `n` bytes and discards them through read_buffer, silently; false when they
    // did not come. `n` shrinks by what was discarded.
    bool DiscardOwed(size_t& n);

    Owed owed;
    std::array<char, kWholeReplySize> whole_reply{};
    size_t whole_payload = 0;  // payload bytes in whole_reply that ReadPayload hands over
};

}  // namespace Tavix::HardwareAPI::Devices
