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

Device::Device(IO::SerialStream& stream, float timeout)
    : read_timeout(timeout),
      stream(&stream),
      write_buffer(new char[kBufferSize]()),
      read_buffer(new char[kBufferSize]()) {}

void Device::SendCommand(uint8_t code, const float* values, int count) {
    if (!SettleOwed()) return;
    count = std::clamp(count, 0, 255);
    write_buffer[0] = static_cast<char>(code);
    // No floats may come with a null pointer, which memcpy must never see.
    if (count > 0) std::memcpy(write_buffer.get() + 1, values, sizeof(float) * static_cast<size_t>(count));
    stream->Write(write_buffer.get(), sizeof(float) * static_cast<size_t>(count) + 1);
}

void Device::SendBytes(size_t n) {
    if (!SettleOwed()) return;
    stream->Write(write_buffer.get(), std::min(n, kBufferSize));
}

Device::Wait Device::WaitForBytes(size_t n, size_t* waiting) const {
    if (Cancelled()) return Wait::Cancelled;
    const Clock::time_point start = Clock::now();
    const bool has_deadline = HasDeadline(read_timeout);
    const Clock::time_point deadline = has_deadline ? start + Seconds(read_timeout) : Clock::time_point{};
    CancelPacer pacer(start);
    size_t seen = 0;
    while ((seen = static_cast<size_t>(std::max(stream->Available(), 0))) < n) {
        const Clock::time_point now = Clock::now();
        if (has_deadline) {
            if (now > deadline) return Wait::TimedOut;
        } else if (!stream->IsOpen()) {
            // Nothing can ever arrive on a closed port; without a deadline this would spin forever.
            return Wait::PortClosed;
        }
        if (pacer.Cancelled(now)) return Wait::Cancelled;
        if (spin_limit.count() >= 0 && now - start >= spin_limit) {
            const Clock::duration nap = has_deadline ? std::min<Clock::duration>(deadline - now, kLongestNap) : kLongestNap;
            stream->AwaitInput(std::chrono::duration_cast<std::chrono::microseconds>(nap));
        }
    }
    if (waiting != nullptr) *waiting = seen;
    return Wait::Ready;
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
    stream->Unread(whole_reply.data(), got);
    return false;
}

uint8_t Device::NextHeaderCode(bool report, uint8_t expect, size_t payload) {
    whole_payload = 0;
    for (;;) {
        size_t waiting = 0;
        if (const Wait wait = WaitForBytes(1, &waiting); wait != Wait::Ready) {
            if (report && wait != Wait::Cancelled) Report(78, "timeout waiting for header code", errno);
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

        if (const Wait wait = WaitForBytes(2); wait != Wait::Ready) {
            if (wait == Wait::Cancelled) owed.notification_header = true;
            else if (report) Report(112, "timeout draining notification header", errno);
            return 0;
        }
        char header[2];
        if (!ReadInto(header, 2)) return 0;
        const auto length = static_cast<uint8_t>(header[1]);
        if (length == 0) continue;
        if (const Wait wait = WaitForBytes(length); wait != Wait::Ready) {
            if (wait == Wait::Cancelled) owed.before += length;
            else if (report) Report(128, "timeout draining notification payload", errno);
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
    if (const Wait wait = WaitForBytes(n); wait != Wait::Ready) {
        if (wait != Wait::Cancelled) Report(153, "timeout waiting for bytes", errno);
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
    while (waiting() < n) {
        const Clock::time_point now = Clock::now();
        if (has_deadline && now - start > limit) {
            const size_t got = std::min(waiting(), n);
            if (got == 0) return 0;
            return ReadInto(dst, got) ? got : 0;
        }
        if (!has_deadline && !stream->IsOpen()) return 0;
        if (pacer.Cancelled(now)) return 0;
        sched_yield();
    }
    return ReadInto(dst, n) ? n : 0;
}

void Device::FlushInput() {
    owed = Owed{};
    whole_payload = 0;
    if (stream == nullptr) return;
    for (int round = 0; round < kFlushRounds; ++round) {
        const int waiting = stream->Available();
        if (waiting <= 0) return;
        if (!ReadInto(read_buffer.get(), std::min(static_cast<size_t>(waiting), kBufferSize))) return;
    }
}

uint8_t Device::ReadReplyHeader(size_t payload, uint8_t expect) {
    const uint8_t code = NextHeaderCode(true, expect, payload);
    if (code == 0 && Cancelled()) {
        owed.headers += 1;
        owed.after = payload;
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
    if (got == 0 && n > 0 && Cancelled()) {
        owed.after = n;
        owed.length_at = length_at;
    }
    return got;
}

bool Device::DiscardOwed(size_t& n) {
    while (n > 0) {
        const size_t chunk = std::min(n, kBufferSize);
        if (WaitForBytes(chunk) != Wait::Ready || !ReadInto(read_buffer.get(), chunk)) return false;
        n -= chunk;
    }
    return true;
}

bool Device::SettleOwed() {
    if (owed.Empty()) return true;
    const bool settled = [this] {
        if (owed.notification_header) {
            char header[2];
            if (WaitForBytes(2) != Wait::Ready || !ReadInto(header, 2)) return false;
            owed.notification_header = false;
            owed.before += static_cast<uint8_t>(header[1]);
        }
        if (!DiscardOwed(owed.before)) return false;
        for (; owed.headers > 0; --owed.headers) {
            // A notification cut short here is recorded again by the header reader itself.
            if (NextHeaderCode(false) == 0) return false;
        }
        if (!DiscardOwed(owed.after)) return false;
        if (owed.length_at != Owed::kNoLength) {
            // The announcing byte came in the one read of those few payload bytes.
            owed.after = static_cast<uint8_t>(read_buffer[owed.length_at]);
            owed.length_at = Owed::kNoLength;
            return DiscardOwed(owed.after);
        }
        return true;
    }();
    if (settled) return true;
    if (Cancelled()) return false;  // still owed; the next call carries on
    owed = Owed{};                  // never came (or the line failed): nothing more to wait for
    return true;
}

}  // namespace Tavix::HardwareAPI::Devices
