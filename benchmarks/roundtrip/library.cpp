// Variant (b) of the round-trip benchmark: the library's own force exchange from C++, the
// way a control loop written in C++ drives the arm. Loaded by compare.py next to the floor.
#include <chrono>

#include "TavixHardwareAPI/Osmira.h"
#include "TavixHardwareAPI/SerialStream.h"

using Tavix::HardwareAPI::Devices::Osmira;
using Tavix::HardwareAPI::Devices::Vector3;
using Tavix::HardwareAPI::IO::SerialStream;

// Runs `n` force exchanges (one 13-byte frame out, the 25-byte state reply back) on the
// serial port at `path`, storing each one's seconds in `latencies`. Returns the number
// completed (less than n when the line failed).
extern "C" int tavix_bench_library(const char* path, int n, double* latencies) {
    using Clock = std::chrono::steady_clock;
    SerialStream stream(path);
    if (!stream.IsOpen()) return 0;
    Osmira arm(stream, 1.0f);
    const Vector3 force{0.0f, 0.0f, 0.0f};
    Vector3 position{}, velocity{};
    int done = 0;
    for (; done < n; ++done) {
        const Clock::time_point start = Clock::now();
        arm.SendForce(force);
        if (!arm.ReceiveState(position, velocity)) break;
        latencies[done] = std::chrono::duration<double>(Clock::now() - start).count();
    }
    return done;
}
