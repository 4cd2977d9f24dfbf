#include "TavixHardwareAPI/Device.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace Tavix::HardwareAPI::Devices {

namespace {
constexpr const char* kModule = "Library/src/Device";
constexpr uint8_t kNotificationA = 0xBA;
constexpr uint8_t kNotificationB = 0xBB;
constexpr int kFlushRounds = 32;
constexpr std::chrono::milliseconds kLongestNap{1};
constexpr unsigned kPutBackLine = 104;
constexpr unsigned kWrongCodeLine = 170;

using Clock = std::chrono::steady_clock;

// A timeout of a century or more (infinity included) never expires, so it counts as none: its
// deadline would overflow the clock's range and come out in the past, and a wait on a closed
// port must still end.
constexpr double kLongestDeadline = 100.0 * 365 * 24 * 3600;

bool HasDeadline(float seconds) { return seconds > 0 && seconds < kLongestDeadline; }  // false for NaN

Clock::duration Seconds(float seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void Report(unsigned line, const char* message, int err) { PrintErrorLine(kModule, line, message, err); }
}  // namespace

void Device::ReportWrongCode(uint8_t got, uint8_t expected) {
    char message[80];
    std::snprintf(message, sizeof message, "unexpected reply code 0x%02x where 0x%02x was due", got, expected);
    Report(kWrongCodeLine, message, EBADMSG);
}

void Device::ReportSilentLine() { Report(78, "timeout waiting for header code", errno); }

Device::Device(IO::SerialStream& stream, float timeout)
    : read_timeout(timeout),
      stream(&stream),
      write_buffer(new char[kBufferSize]()),
      read_buffer(new char[kBufferSize]()) {}

bool Device::SendCommand(uint8_t code, const float* values, int count) {
    count = std::clamp(count, 0, 255);
    write_buffer[0] = static_cast<char>(code);
    // No floats may come with a null pointer, which memcpy must never see.
    if (count > 0) std::memcpy(write_buffer.get() + 1, values, sizeof(float) * static_cast<size_t>(count));
    stream->Write(write_buffer.get(), sizeof(float) * static_cast<size_t>(count) + 1);
    return stream->good();
}

bool Device::SendBytes(size_t n) {
    stream->Write(write_buffer.get(), std::min(n, kBufferSize));
    return stream->good();
}

Device::Wait Device::WaitForBytes(size_t n, size_t* waiting) const {
    if (Cancelled()) return Wait::Cancelled;
    const Clock::time_point start = Clock::now();
    const bool has_deadline = HasDeadline(read_timeout);
    const Clock::time_point deadline = has_deadline ? start + Seconds(read_timeout) : Clock::time_point{};
    CancelPacer pacer(start);
    size_t seen = 0;
    while ((seen = static_cast<size_t>(std::max(stream->Available(), 0))) < n) {
        if (!stream->IsOpen()) {
            // Nothing can ever arrive on a closed or hung-up port: waiting would only cost time.
            errno = EBADF;
            return Wait::PortClosed;
        }
        const Clock::time_point now = Clock::now();
        if (has_deadline && now > deadline) return Wait::TimedOut;
        if (pacer.Cancelled(now)) return Wait::Cancelled;
        NapAfterSpin(start, now, has_deadline ? deadline : Clock::time_point::max());
    }
    if (waiting != nullptr) *waiting = seen;
    return Wait::Ready;
}

bool Device::NapAfterSpin(Clock::time_point start, Clock::time_point now, Clock::time_point deadline) const {
    if (spin_limit.count() < 0 || now - start < spin_limit) return false;
    const Clock::duration nap = std::min<Clock::duration>(deadline - now, kLongestNap);
    stream->AwaitInput(std::chrono::duration_cast<std::chrono::microseconds>(nap));
    return true;
}

bool Device::ReadInto(char* dst, size_t n) {
    stream->read(dst, static_cast<std::streamsize>(n));
    return stream->good();
}

uint8_t Device::ReadHeaderCode() { return NextHeaderCode(true); }

bool Device::TakeWholeReply(uint8_t expect, size_t payload, size_t waiting) {
    const size_t n = payload + 1;
    if (n > kWholeReplySize || waiting < n) return false;
    stream->read(whole_reply.data(), static_cast<std::streamsize>(n));
    const auto got = static_cast<size_t>(stream->gcount());
    if (got == n && static_cast<uint8_t>(whole_reply[0]) == expect) {
        read_buffer[0] = whole_reply[0];
        whole_payload = payload;
        return true;
    }
    // Always possible for bytes just read (at most kWholeReplySize); were it refused, they
    // would be lost without a trace, so it would at least be said.
    if (!stream->Unread(whole_reply.data(), got)) Report(kPutBackLine, "unable to put back reply bytes", EIO);
    return false;
}

uint8_t Device::NextHeaderCode(bool report, uint8_t expect, size_t payload) {
    whole_payload = 0;
    ReplyLedger::Partial& owed = Ledger().partial;
    for (;;) {
        size_t waiting = 0;
        if ((last_wait = WaitForBytes(1, &waiting)) != Wait::Ready) {
            if (report && last_wait != Wait::Cancelled) Report(78, "timeout waiting for header code", errno);
            return 0;
        }
        if (expect != 0 && TakeWholeReply(expect, payload, waiting)) return expect;
        if (!ReadInto(read_buffer.get(), 1)) {
            const int err = errno;
            if (report && !stream->eof()) Report(94, "unable to read header code from stream", err);
            return 0;
        }
        const auto code = static_cast<uint8_t>(read_buffer[0]);
        if (code != kNotificationA && code != kNotificationB) return code;

        if ((last_wait = WaitForBytes(2)) != Wait::Ready) {
            if (Owes(last_wait)) owed.notification_header = true;
            if (report && last_wait != Wait::Cancelled) Report(112, "timeout draining notification header", errno);
            return 0;
        }
        char header[2];
        if (!ReadInto(header, 2)) return 0;
        const auto length = static_cast<uint8_t>(header[1]);
        if (length == 0) continue;
        if ((last_wait = WaitForBytes(length)) != Wait::Ready) {
            if (Owes(last_wait)) owed.before += length;
            if (report && last_wait != Wait::Cancelled) Report(128, "timeout draining notification payload", errno);
            return 0;
        }
        if (!ReadInto(read_buffer.get(), length)) return 0;
    }
}

int Device::ReadBytes(size_t n) {
    if (n > kBufferSize) {
        char message[96];
        std::snprintf(message, sizeof message, "unable to read '%zu' bytes from stream", n);
        Report(163, message, EINVAL);
        return 0;
    }
    if ((last_wait = WaitForBytes(n)) != Wait::Ready) {
        if (last_wait != Wait::Cancelled) Report(153, "timeout waiting for bytes", errno);
        return 0;
    }
    if (!ReadInto(read_buffer.get(), n)) {
        const int err = errno;
        if (!stream->eof()) {
            char message[96];
            std::snprintf(message, sizeof message, "unable to read '%zu' bytes from stream", n);
            Report(163, message, err);
        }
        return 0;
    }
    return static_cast<int>(n);
}

size_t Device::ReadWithTimeout(char* dst, size_t n, float timeout) {
    if (stream == nullptr || dst == nullptr || n == 0 || Cancelled()) return 0;
    const Clock::time_point start = Clock::now();
    CancelPacer pacer(start);
    auto waiting = [this] { return static_cast<size_t>(std::max(stream->Available(), 0)); };
    const bool has_deadline = HasDeadline(timeout);
    const std::chrono::duration<double> limit(timeout);
    // What is waiting, up to `n`, read and no longer owed.
    auto take = [&] {
        const size_t got = std::min(waiting(), n);
        if (got == 0 || !ReadInto(dst, got)) return size_t{0};
        Ledger().Consume(got);
        return got;
    };
    while (waiting() < n) {
        const Clock::time_point now = Clock::now();
        if (has_deadline && now - start > limit) return take();
        // Nothing more can come on a closed or hung-up port: its deadline has as good as passed.
        if (!stream->IsOpen()) return has_deadline ? take() : 0;
        if (pacer.Cancelled(now)) return 0;
        if (!NapAfterSpin(start, now, has_deadline ? start + Seconds(timeout) : Clock::time_point::max())) sched_yield();
    }
    return take();
}

void Device::FlushInput() {
    Ledger().Clear();
    whole_payload = 0;
    if (stream == nullptr) return;
    for (int round = 0; round < kFlushRounds; ++round) {
        const int waiting = stream->Available();
        if (waiting <= 0) return;
        if (!ReadInto(read_buffer.get(), std::min(static_cast<size_t>(waiting), kBufferSize))) return;
    }
}

uint8_t Device::ReadReplyHeader(size_t payload, uint8_t expect, int headers) {
    const uint8_t code = NextHeaderCode(true, expect, payload);
    if (code == 0 && Owes(last_wait)) {
        Ledger().partial.headers += headers;
        Ledger().partial.after = payload;
    }
    return code;
}

int Device::ReadPayload(size_t n, int length_at) {
    if (whole_payload != 0 && whole_payload == n) {
        std::memcpy(read_buffer.get(), whole_reply.data() + 1, n);
        whole_payload = 0;
        return static_cast<int>(n);
    }
    const int got = ReadBytes(n);
    if (got == 0 && n > 0 && Owes(last_wait)) {
        Ledger().partial.after = n;
        Ledger().partial.length_at = length_at;
    }
    return got;
}

Device::Wait Device::DiscardOwed(size_t& n) {
    while (n > 0) {
        const size_t chunk = std::min(n, kBufferSize);
        if (const Wait wait = WaitForBytes(chunk); wait != Wait::Ready) return wait;
        if (!ReadInto(read_buffer.get(), chunk)) return Wait::PortClosed;  // a failed stream: nothing more comes
        n -= chunk;
    }
    return Wait::Ready;
}

Device::Wait Device::DiscardPartial() {
    ReplyLedger::Partial& owed = Ledger().partial;
    if (owed.notification_header) {
        char header[2];
        if (const Wait wait = WaitForBytes(2); wait != Wait::Ready) return wait;
        if (!ReadInto(header, 2)) return Wait::PortClosed;
        owed.notification_header = false;
        owed.before += static_cast<uint8_t>(header[1]);
    }
    if (const Wait wait = DiscardOwed(owed.before); wait != Wait::Ready) return wait;
    for (; owed.headers > 0; --owed.headers) {
        // A notification cut short here is recorded again by the header reader itself.
        if (NextHeaderCode(false) == 0) return last_wait == Wait::Ready ? Wait::PortClosed : last_wait;
    }
    if (const Wait wait = DiscardOwed(owed.after); wait != Wait::Ready) return wait;
    if (owed.length_at != Owed::kNoLength) {
        // The announcing byte came in the one read of those few payload bytes.
        owed.after = static_cast<uint8_t>(read_buffer[owed.length_at]);
        owed.length_at = Owed::kNoLength;
        return DiscardOwed(owed.after);
    }
    return Wait::Ready;
}

Device::Settle Device::SettleOwed(bool awaited_too) {
    ReplyLedger& ledger = Ledger();
    for (;;) {
        const Wait wait = DiscardPartial();
        if (wait == Wait::Cancelled) return Settle::Cancelled;
        if (wait != Wait::Ready) {
            ledger.Clear();  // never came (or cannot come any more): nothing more to wait for
            return wait == Wait::TimedOut ? Settle::Silent : Settle::Done;
        }
        if (ledger.Replies() == 0) return Settle::Done;
        const ReplyLedger::Reply next = ledger.Front();
        if (next.awaited && !awaited_too) return Settle::Done;
        ledger.PopFront();
        ledger.partial.headers = next.headers;
        ledger.partial.after = next.payload;
    }
}

}  // namespace Tavix::HardwareAPI::Devices
