// Variant (e) of the round-trip benchmark: the iterations of a running ServoLoop (a spring
// effect, the force clamp and the ramp in the path), timed by the loop itself from the force
// computation to the state reply. Loaded by compare.py next to the floor.
#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "TavixHardwareAPI/Osmira.h"
#include "TavixHardwareAPI/SerialStream.h"
#include "TavixHardwareAPI/ServoLoop.h"

using Tavix::HardwareAPI::Devices::HapticEffect;
using Tavix::HardwareAPI::Devices::Osmira;
using Tavix::HardwareAPI::Devices::ServoLoop;
using Tavix::HardwareAPI::IO::SerialStream;

namespace {
// Sleeps until the loop has made `n` iterations, waking as seldom as it can: on a small
// machine every wake-up of this thread takes a processor from the loop or the far end.
void WaitForIterations(const ServoLoop& loop, uint64_t n) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    for (uint64_t done = loop.Iterations(); loop.Running() && done < n; done = loop.Iterations()) {
        Clock::duration rest = std::chrono::microseconds(500);
        if (done > 0) {
            // The time the iterations still missing will take at the pace so far.
            const std::chrono::duration<double> per_iteration = (Clock::now() - start) / done;
            rest = std::max(rest, std::chrono::duration_cast<Clock::duration>(per_iteration * double(n - done)));
        }
        std::this_thread::sleep_for(rest);
    }
}
}  // namespace

// Runs a loop on the serial port at `path` until it has made `n` iterations and stores the
// round trips of the last `n` in `latencies` (seconds). Returns the number stored (less than
// n when the loop stopped by itself).
extern "C" int tavix_bench_servo(const char* path, int n, double* latencies) {
    SerialStream stream(path);
    if (!stream.IsOpen() || n <= 0) return 0;
    Osmira arm(stream, 1.0f);
    ServoLoop::Options options;
    options.max_force = 1.0f;
    options.ramp_seconds = 0.01;
    options.telemetry_size = static_cast<size_t>(n);
    ServoLoop loop(arm, options);
    loop.AddEffect(HapticEffect::Spring({0.0f, 0.0f, 0.0f}, 100.0f, 1.0f));
    if (!loop.Start()) return 0;
    WaitForIterations(loop, static_cast<uint64_t>(n));
    loop.Stop();
    std::vector<ServoLoop::Sample> samples(static_cast<size_t>(n));
    const size_t got = loop.CopyTelemetry(samples.data(), samples.size());
    for (size_t i = 0; i < got; ++i) latencies[i] = samples[i].round_trip;
    return static_cast<int>(got);
}
