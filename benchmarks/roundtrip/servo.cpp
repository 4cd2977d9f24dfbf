// Variant (e) of the round-trip benchmark: the iterations of a running ServoLoop (a spring
// effect, the force clamp and the ramp in the path), timed by the loop itself from the force
// computation to the state reply. Loaded by compare.py next to the floor.
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
    while (loop.Running() && loop.Iterations() < static_cast<uint64_t>(n))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    loop.Stop();
    std::vector<ServoLoop::Sample> samples(static_cast<size_t>(n));
    const size_t got = loop.CopyTelemetry(samples.data(), samples.size());
    for (size_t i = 0; i < got; ++i) latencies[i] = samples[i].round_trip;
    return static_cast<int>(got);
}
