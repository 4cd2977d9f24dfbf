// Misbehaving lines on demand. Every simulated device writes through a Line, which applies
// the device's fault plan to what the device sends:
//   drop=N     every Nth message (answer or streamed frame) is not sent at all
//   delay=MS   answers go out MS milliseconds after their request
//   garbage=N  every Nth message is preceded by a burst of 7 garbage bytes (0x60..0x7F, no
//              code of either device's protocol, so a reader sees a wrong header code)
//   flood=N    every message is preceded by N notification frames (code 0xBB)
//   drip=MS    every byte goes out alone, MS milliseconds after the previous one
//   hangup=N   after the Nth request has been answered (and the answer read by the host, or
//              half a second has passed) the line is hung up for good; later requests get
//              no answer
// Notifications (periodic or flood) are never dropped, delayed or preceded by garbage, but
// they drip like everything else on a slow line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "Pty.h"

namespace tavix_devsim {

using Clock = std::chrono::steady_clock;

struct FaultPlan {
    unsigned drop_every = 0;
    unsigned garbage_every = 0;
    unsigned flood = 0;
    unsigned hangup_after = 0;
    std::chrono::milliseconds delay{0};
    std::chrono::milliseconds drip{0};

    bool operator==(const FaultPlan& other) const;
};

// Merges a comma-separated list of key=value pairs ("drop=3,delay=50") into `plan`.
// Returns an empty string, or what is wrong with the text.
std::string ParseFaultList(std::string_view text, FaultPlan& plan);

constexpr size_t kGarbageBurst = 7;

class Line {
public:
    Line(Pty& pty, const FaultPlan& plan);

    // A reply to a request: subject to every fault.
    void SendAnswer(const uint8_t* data, size_t n, Clock::time_point now);
    // A message the device sends on its own (a streamed status frame): never delayed.
    void SendUnsolicited(const uint8_t* data, size_t n, Clock::time_point now);
    // One notification frame: 0xBA, a spare byte, length 4, a 32-bit counter.
    void SendNotification(Clock::time_point now);
    // Counts a handled request towards the hang-up.
    void RequestHandled(Clock::time_point now);
    // Writes whatever held-back output has come due; hangs up when that is due.
    void Flush(Clock::time_point now);
    // When Flush next has something to do (Clock::time_point::max() when nothing waits).
    Clock::time_point NextDue() const;
    bool HungUp() const { return hung_up; }
    // Bytes the host has not read yet, counting those still held back.
    size_t Unread() const { return held_bytes + pty.HostBacklog(); }
    // True while a host has the port open.
    bool HostHasPort() const { return pty.HostHasPort(); }

private:
    struct Held {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
        size_t sent = 0;
    };
    void SendMessage(const uint8_t* data, size_t n, Clock::time_point due, Clock::time_point now);
    void AppendNotification(std::vector<uint8_t>& out, uint8_t code);
    void AppendGarbage(std::vector<uint8_t>& out);
    // Sends now (one write) when nothing is held back and no fault slows the line.
    void Emit(const uint8_t* data, size_t n, Clock::time_point due, Clock::time_point now);
    void Write(const uint8_t* data, size_t n, Clock::time_point now);
    bool Holding() const { return !held.empty() || plan.drip.count() > 0; }

    Pty& pty;
    FaultPlan plan;
    std::deque<Held> held;
    std::vector<uint8_t> scratch;  // a message with its flood and garbage in front
    size_t held_bytes = 0;
    uint64_t messages = 0;
    uint64_t requests = 0;
    uint32_t notifications = 0;
    uint32_t garbage_state = 0x2545F491u;
    bool hangup_pending = false;
    Clock::time_point last_write{};
    bool hung_up = false;
};

}  // namespace tavix_devsim
