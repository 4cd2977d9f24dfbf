#include "Faults.h"

#include <algorithm>
#include <charconv>

namespace tavix_devsim {

namespace {
constexpr uint8_t kPeriodicNotification = 0xBA;
constexpr uint8_t kFloodNotification = 0xBB;
constexpr size_t kNotificationSize = 7;
// Bytes written to the master reach the host's queue a little later, so an empty queue
// means "read" only once they have had time to get there.
constexpr auto kHangUpSettle = std::chrono::milliseconds(20);
constexpr auto kHangUpGrace = std::chrono::milliseconds(500);
constexpr auto kHangUpCheck = std::chrono::milliseconds(1);
// Output held back by delay or drip beyond this is lost, so that a slow line fed faster than
// it drains (a flood of notifications dripping out) cannot grow without bound.
constexpr size_t kMaxHeldBytes = 64 * 1024;

struct FaultKey {
    const char* name;
    unsigned min, max;
};
constexpr FaultKey kKeys[] = {
    {"drop", 1, 1000000}, {"delay", 0, 60000}, {"garbage", 1, 1000000},
    {"flood", 0, 1000},   {"drip", 0, 10000},  {"hangup", 1, 1000000},
};

void Store(FaultPlan& plan, std::string_view key, unsigned value) {
    if (key == "drop") plan.drop_every = value;
    else if (key == "delay") plan.delay = std::chrono::milliseconds(value);
    else if (key == "garbage") plan.garbage_every = value;
    else if (key == "flood") plan.flood = value;
    else if (key == "drip") plan.drip = std::chrono::milliseconds(value);
    else plan.hangup_after = value;
}

std::string ParseOne(std::string_view item, FaultPlan& plan) {
    const size_t eq = item.find('=');
    const std::string_view key = item.substr(0, eq);
    for (const FaultKey& k : kKeys) {
        if (key != k.name) continue;
        if (eq == std::string_view::npos) return "fault '" + std::string(key) + "' needs a value";
        const std::string_view text = item.substr(eq + 1);
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < k.min || value > k.max)
            return "fault '" + std::string(key) + "' takes a whole number from " + std::to_string(k.min) + " to " +
                   std::to_string(k.max) + ", not '" + std::string(text) + "'";
        Store(plan, key, value);
        return {};
    }
    return "unknown fault '" + std::string(key) + "' (known: drop, delay, garbage, flood, drip, hangup)";
}
}  // namespace

bool FaultPlan::operator==(const FaultPlan& o) const {
    return drop_every == o.drop_every && garbage_every == o.garbage_every && flood == o.flood &&
           hangup_after == o.hangup_after && delay == o.delay && drip == o.drip;
}

std::string ParseFaultList(std::string_view text, FaultPlan& plan) {
    if (text.empty()) return "empty fault list";
    for (;;) {
        const size_t comma = text.find(',');
        if (std::string error = ParseOne(text.substr(0, comma), plan); !error.empty()) return error;
        if (comma == std::string_view::npos) return {};
        text.remove_prefix(comma + 1);
    }
}

Line::Line(Pty& pty, const FaultPlan& plan) : pty(pty), plan(plan) {
    scratch.reserve(kNotificationSize * plan.flood + kGarbageBurst + 512);
}

void Line::SendAnswer(const uint8_t* data, size_t n, Clock::time_point now) {
    SendMessage(data, n, now + plan.delay, now);
}

void Line::SendUnsolicited(const uint8_t* data, size_t n, Clock::time_point now) { SendMessage(data, n, now, now); }

void Line::SendMessage(const uint8_t* data, size_t n, Clock::time_point due, Clock::time_point now) {
    if (hung_up || hangup_pending) return;
    ++messages;
    if (plan.drop_every != 0 && messages % plan.drop_every == 0) return;
    const bool garbage = plan.garbage_every != 0 && messages % plan.garbage_every == 0;
    if (plan.flood == 0 && !garbage) {
        Emit(data, n, due, now);
        return;
    }
    scratch.clear();
    for (unsigned i = 0; i < plan.flood; ++i) AppendNotification(scratch, kFloodNotification);
    if (garbage) AppendGarbage(scratch);
    scratch.insert(scratch.end(), data, data + n);
    Emit(scratch.data(), scratch.size(), due, now);
}

void Line::SendNotification(Clock::time_point now) {
    if (hung_up || hangup_pending) return;
    scratch.clear();
    AppendNotification(scratch, kPeriodicNotification);
    Emit(scratch.data(), scratch.size(), now, now);
}

void Line::AppendNotification(std::vector<uint8_t>& out, uint8_t code) {
    const uint32_t count = notifications++;
    const uint8_t frame[kNotificationSize] = {code,
                                              0x00,
                                              4,
                                              static_cast<uint8_t>(count),
                                              static_cast<uint8_t>(count >> 8),
                                              static_cast<uint8_t>(count >> 16),
                                              static_cast<uint8_t>(count >> 24)};
    out.insert(out.end(), frame, frame + kNotificationSize);
}

void Line::AppendGarbage(std::vector<uint8_t>& out) {
    for (size_t i = 0; i < kGarbageBurst; ++i) {
        // xorshift32: the same bursts on every run.
        garbage_state ^= garbage_state << 13;
        garbage_state ^= garbage_state >> 17;
        garbage_state ^= garbage_state << 5;
        out.push_back(static_cast<uint8_t>(0x60 | (garbage_state & 0x1F)));
    }
}

void Line::Emit(const uint8_t* data, size_t n, Clock::time_point due, Clock::time_point now) {
    if (!Holding() && due <= now) {
        Write(data, n, now);
        return;
    }
    if (held_bytes + n > kMaxHeldBytes) return;
    held.push_back(Held{due, std::vector<uint8_t>(data, data + n), 0});
    held_bytes += n;
    Flush(now);
}

void Line::Write(const uint8_t* data, size_t n, Clock::time_point now) {
    // A full host queue loses the rest, as an overrun UART would.
    pty.Write(data, n);
    last_write = now;
}

void Line::RequestHandled(Clock::time_point now) {
    ++requests;
    if (plan.hangup_after != 0 && requests >= plan.hangup_after) hangup_pending = true;
    Flush(now);
}

void Line::Flush(Clock::time_point now) {
    while (!hung_up && !held.empty()) {
        Held& front = held.front();
        if (now < front.due) break;
        if (plan.drip.count() == 0) {
            Write(front.bytes.data(), front.bytes.size(), now);
            held_bytes -= front.bytes.size();
            held.pop_front();
            continue;
        }
        if (now < last_write + plan.drip) break;
        Write(&front.bytes[front.sent], 1, now);
        --held_bytes;
        if (++front.sent == front.bytes.size()) held.pop_front();
        break;
    }
    // Closing the master discards what the host has not read yet, so the last answer is
    // given time to be read first.
    if (hangup_pending && held.empty() && !hung_up &&
        ((now >= last_write + kHangUpSettle && pty.HostBacklog() == 0) || now >= last_write + kHangUpGrace)) {
        pty.HangUp();
        hung_up = true;
    }
}

Clock::time_point Line::NextDue() const {
    if (hung_up) return Clock::time_point::max();
    if (held.empty()) return hangup_pending ? Clock::now() + kHangUpCheck : Clock::time_point::max();
    const Clock::time_point due = held.front().due;
    return plan.drip.count() == 0 ? due : std::max(due, last_write + plan.drip);
}

}  // namespace tavix_devsim
