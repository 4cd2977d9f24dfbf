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
// What the line owes: every reply that was asked for and not read (a send-only call, a read
// that timed out or was interrupted part-way, a servo loop's missed reply) is written down in the
// port's ReplyLedger, which every object on that port shares (IO::Line). A reader first discards
// what belongs to earlier requests, then takes its own answer, so that a late reply is never
// taken as the answer to a later request. A wait on a closed or hung-up port ends at once.
//
// Every wait can be cancelled by the calling thread's CancelScope (Cancellation.h): it then
// ends at once, silently, and what the interrupted read still expected stays owed.
//
// Threads: no locking; a device and its stream are used by one thread at a time. Callers that
// share a port between threads coordinate through its line's `ownership` (LineOwnership).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "TavixHardwareAPI/Cancellation.h"
#include "TavixHardwareAPI/ReplyLedger.h"
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
    // floats, the one-byte command alone (`values` may then be null). Never waits. True when
    // the frame was written (the stream's state is good afterwards).
    bool SendCommand(uint8_t code, const float* values = nullptr, int count = 0);
    // Writes the first `n` (1..1024) bytes of write_buffer unchanged in one write. Never
    // waits. True when they were written.
    bool SendBytes(size_t n);
    // Waits for the next reply header code, skipping notification frames (each wait has a
    // fresh deadline). Returns the code, or 0 on timeout or a failed stream.
    uint8_t ReadHeaderCode();
    // Waits until `n` bytes are waiting and reads them into read_buffer[0..n). Returns `n`,
    // or 0 on timeout, a closed port, a failed stream, or a request larger than the buffer.
    int ReadBytes(size_t n);
    // Reads up to `n` bytes into `dst`: at once when all `n` are waiting, otherwise
    // whatever is waiting when `timeout` seconds have passed (its wait sleeps after spin_limit,
    // as the framed reads' waits do). A `timeout` that means no
    // deadline (see the constructor) waits for all `n` (but returns 0 at once if the port is
    // not open). Prints nothing. What it reads is owed no more (ReplyLedger::Consume).
    size_t ReadWithTimeout(char* dst, size_t n, float timeout);
    // Discards at most 32 x 1024 waiting bytes without waiting for more, and forgets what the
    // line owes: the caller resynchronises by hand.
    void FlushInput();

    using Owed = ReplyLedger::Partial;
    // ReadHeaderCode for a reply whose `payload` bytes follow the code, `headers` codes counted
    // with this one; when its wait ends before a code came (a timeout, a cancelled wait), those
    // codes and the payload are recorded as owed.
    // With `expect` (a reply code), a reply that is wholly waiting once a byte has come (at
    // most kWholeReplySize bytes with its code) is read in one read: when its code is `expect`
    // the next ReadPayload(payload) hands its payload over without reading; otherwise the
    // bytes are put back (SerialStream::Unread) and read as without `expect`.
    uint8_t ReadReplyHeader(size_t payload, uint8_t expect = 0, int headers = 1);
    // ReadBytes(n) of a payload; when its wait ends before the bytes came, the `n` bytes are
    // recorded as owed (`length_at`: see ReplyLedger::Partial).
    int ReadPayload(size_t n, int length_at = Owed::kNoLength);
    static constexpr size_t kWholeReplySize = 32;

    enum class Settle {
        Done,       // nothing earlier is owed any more (or the port is closed: nothing can come)
        Cancelled,  // the wait was cancelled; what is still owed stays owed
        Silent,     // a whole read timeout passed without what was owed: it is forgotten
    };
    // Waits for what earlier requests owe and discards it, silently, each wait at most
    // read_timeout: the partial frame and every whole reply, or (with `awaited_too` false) only
    // the replies ahead of the first one a Receive call awaits.
    Settle SettleOwed(bool awaited_too = true);
    // The line this device talks on and what it owes (shared by every object on the port).
    IO::Line& SharedLine() const { return stream->SharedLine(); }
    ReplyLedger& Ledger() const { return SharedLine().ledger; }
    const Owed& owed_reply() const { return Ledger().partial; }

    float read_timeout;
    // How long a wait for reply bytes busy-polls before it sleeps in SerialStream::AwaitInput
    // (a millisecond at most at a time) until input comes; negative (the default): it never
    // sleeps, for the lowest latency. A thread whose far end is short of processor time
    // gives its processor up this way.
    std::chrono::microseconds spin_limit{-1};
    IO::SerialStream* stream;
    std::unique_ptr<char[]> write_buffer;
    std::unique_ptr<char[]> read_buffer;

protected:
    // The error line of a reply whose header code is `got` where `expected` was due.
    static void ReportWrongCode(uint8_t got, uint8_t expected);
    // The header wait's timeout line, for a reply not waited for because the line was silent.
    static void ReportSilentLine();
    // Whether a read that times out part-way leaves the rest of its reply owed (the arm's
    // replies answer requests); otherwise only a cancelled read does (the handle's messages
    // come unasked).
    bool owe_on_timeout = false;

private:
    enum class Wait { Ready, TimedOut, PortClosed, Cancelled };
    // Busy-polls the stream's count of waiting bytes until `n` are there; `waiting` (when
    // given) receives the last count seen when Ready.
    Wait WaitForBytes(size_t n, size_t* waiting = nullptr) const;
    using Clock = std::chrono::steady_clock;
    // Once spin_limit has passed since `start`, sleeps until input comes, a millisecond at most
    // and never past `deadline`, and answers true; false (nothing done) while it still spins.
    bool NapAfterSpin(Clock::time_point start, Clock::time_point now, Clock::time_point deadline) const;
    // Reads exactly `n` bytes with the standard unformatted read; true when the state is good.
    bool ReadInto(char* dst, size_t n);
    // ReadHeaderCode, printing its error lines only when `report` is true; `expect` and
    // `payload`: see ReadReplyHeader.
    uint8_t NextHeaderCode(bool report, uint8_t expect = 0, size_t payload = 0);
    // Reads a reply of `expect` whose `payload` bytes follow, in one read, when all of it is
    // among the `waiting` bytes; false (the line as it was) otherwise.
    bool TakeWholeReply(uint8_t expect, size_t payload, size_t waiting);
    // Waits for `n` bytes and discards them through read_buffer, silently. `n` shrinks by what
    // was discarded.
    Wait DiscardOwed(size_t& n);
    // Discards the rest of a frame already begun (ReplyLedger::partial).
    Wait DiscardPartial();
    // Whether a read whose wait ended with `wait` leaves the rest of its frame owed.
    bool Owes(Wait wait) const { return wait == Wait::Cancelled || (wait == Wait::TimedOut && owe_on_timeout); }

    Wait last_wait = Wait::Ready;  // how the last wait of NextHeaderCode or ReadBytes ended
    std::array<char, kWholeReplySize> whole_reply{};
    size_t whole_payload = 0;  // payload bytes in whole_reply that ReadPayload hands over
};

}  // namespace Tavix::HardwareAPI::Devices
