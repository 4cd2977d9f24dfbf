// force_loop PORT [EXCHANGES]: wakes the Osmira arm on PORT, runs EXCHANGES force exchanges
// (zero force out, position and velocity back; default 1000) and prints the rate and the
// median round trip. Exit status 1 when the port cannot be opened or the arm does not answer,
// 2 for a bad command line.
//
// Build it against an installed TavixHardwareAPI: with CMake (CMakeLists.txt beside this file,
// find_package(TavixHardwareAPI)), or with pkg-config:
//   c++ -std=c++17 force_loop.cpp $(pkg-config --cflags --libs tavix-hardware) -o force_loop
#include <TavixHardwareAPI/Osmira.h>
#include <TavixHardwareAPI/SerialStream.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace api = Tavix::HardwareAPI;
using Clock = std::chrono::steady_clock;

namespace {

constexpr float kReadTimeout = 0.5f;  // seconds; a live arm answers within microseconds

int Usage() {
    std::fprintf(stderr, "usage: force_loop PORT [EXCHANGES]\n");
    return 2;
}

// Round trips in microseconds, or an empty list when a reply went missing.
std::vector<double> RunExchanges(api::Devices::Osmira& arm, long count) {
    std::vector<double> round_trips(static_cast<size_t>(count));
    const api::Devices::Vector3 force{0.0f, 0.0f, 0.0f};
    api::Devices::Vector3 position{}, velocity{};
    for (auto& round_trip : round_trips) {
        const auto start = Clock::now();
        arm.SendForce(force);
        if (!arm.ReceiveState(position, velocity)) return {};
        round_trip = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    }
    return round_trips;
}

double Median(std::vector<double> values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) return Usage();
    const char* port = argv[1];
    char* end = nullptr;
    const long count = argc == 3 ? std::strtol(argv[2], &end, 10) : 1000;
    if (argc == 3 && (*end != '\0' || count < 1)) return Usage();

    api::IO::SerialStream stream(port, false);
    if (stream.Open() != 1) {
        std::fprintf(stderr, "force_loop: cannot open %s: %s\n", port, std::strerror(errno));
        return 1;
    }
    api::Devices::Osmira arm(stream, kReadTimeout);
    arm.SendDeviceWakeup();
    const api::Devices::DeviceInfo info = arm.ReceiveDeviceInfo();
    if (info.device_model_number == 0) {  // all zeros: no identity record came back
        std::fprintf(stderr, "force_loop: no arm answered the wake-up on %s\n", port);
        return 1;
    }
    std::printf("arm %u (model %u, firmware %u) on %s\n", info.device_id, info.device_model_number,
                info.firmware_version, port);

    const auto start = Clock::now();
    const std::vector<double> round_trips = RunExchanges(arm, count);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (round_trips.empty()) {
        std::fprintf(stderr, "force_loop: the arm on %s stopped answering\n", port);
        return 1;
    }
    std::printf("%ld force exchanges in %.3f s: %.0f Hz, median round trip %.1f us\n", count, seconds,
                static_cast<double>(count) / seconds, Median(round_trips));
    return 0;
}
