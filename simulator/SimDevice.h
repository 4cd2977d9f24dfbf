// What the device loop needs from a simulated device's firmware.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "Faults.h"

namespace tavix_devsim {

// The period of something done `hz` times a second; zero (never done) when hz <= 0.
inline Clock::duration PeriodOf(double hz) {
    return hz > 0 ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz))
                  : Clock::duration::zero();
}

// The beat after `due`; after a stall the rhythm restarts from `now` instead of catching up in a burst.
inline Clock::time_point NextBeat(Clock::time_point due, Clock::duration period, Clock::time_point now) {
    due += period;
    return due > now ? due : now + period;
}

class SimDevice {
public:
    virtual ~SimDevice() = default;

    // Length in bytes of the request that starts with bytes[0] (`n` >= 1 bytes are known).
    // 0 when bytes[0] starts no request of this device (the byte is then skipped). May be
    // more than `n`: the loop waits for the rest.
    virtual size_t RequestLength(const uint8_t* bytes, size_t n) const = 0;
    // Acts on one whole request and sends its answer, if it has one, through `line`.
    virtual void OnRequest(const uint8_t* request, size_t n, Clock::time_point now, Line& line) = 0;
    // Sends what the device sends on its own; returns when it next wants to be called.
    virtual Clock::time_point OnTick(Clock::time_point now, Line& line) = 0;
    // A host has opened the port, which no host had open before.
    virtual void OnHostArrived(Clock::time_point) {}
};

}  // namespace tavix_devsim
