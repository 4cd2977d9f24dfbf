#include "TavixHardwareAPI/Discovery.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <future>
#include <iostream>

#include "TavixHardwareAPI/ArmModel.h"
#include "TavixHardwareAPI/Cancellation.h"
#include "TavixHardwareAPI/Probe.h"

namespace Tavix::HardwareAPI {

namespace {
// The device read timeout inside a detect function's probe: the arm's and the handle's default.
constexpr std::chrono::milliseconds kProbeReadTimeout{5000};

int ProbeArm(const char* port_path) {
    // Every arm probe resets the process-wide arm model, as constructing an arm does.
    ArmModel::Instance().ResetForNewArm();
    return ProbePort(port_path, kProbeReadTimeout).kind == ProbeKind::Arm ? 1 : 0;
}

int ProbeHandle(const char* port_path) { return ProbePort(port_path, kProbeReadTimeout).kind == ProbeKind::Handle ? 1 : 0; }

template <typename Probe>
std::vector<std::string> Detect(bool (*wanted)(int32_t kind), Probe&& probe) {
    std::vector<std::string> found;
    for (const PortCandidate& candidate : ScanSerialPorts()) {
        if (Cancelled()) break;  // an interrupted call probes no further port
        if (wanted(candidate.kind) && probe(candidate.path)) found.push_back(candidate.path);
    }
    return found;
}

// The probe thread's cancellation check: the flag its caller raises when it was interrupted.
bool StopRequested(void* flag) { return static_cast<const std::atomic<bool>*>(flag)->load(); }

// Waits for the probe until `deadline`, asking the calling thread's cancellation check about
// once a millisecond; true when it finished by then.
bool WaitForProbe(const std::future<int>& outcome, std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    while (outcome.wait_until(std::min(deadline, Clock::now() + CancelPacer::kInterval)) != std::future_status::ready) {
        if (Clock::now() >= deadline || CancellationRequested()) return false;
    }
    return true;
}

bool ArmProbeAnswers(const std::string& path) {
    return TimedProbe(&ProbeOsmiraPort, path, std::chrono::duration_cast<std::chrono::milliseconds>(kArmProbeLimit));
}
bool HandleProbeAnswers(const std::string& path) { return CheckHandlePort(path.c_str()); }
}  // namespace

int ProbeOsmiraPort(const char* port_path) {
    try {
        return ProbeArm(port_path);
    } catch (const std::exception& e) {
        std::printf("exception: %s\n", e.what());
        std::fflush(stdout);
        return 0;
    }
}

int ProbeHandlePort(const char* port_path) {
    try {
        return ProbeHandle(port_path);
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 0;
    }
}

bool TimedProbe(int (*probe)(const char*), const std::string& port_path, std::chrono::milliseconds limit) {
    // Raised when the caller is interrupted: the probe's waits then end at once. The probe is
    // always joined before this returns, so the flag outlives it.
    std::atomic<bool> stop{false};
    // The worker owns its copy of the path; std::async throws when no thread can be started.
    std::future<int> outcome = std::async(std::launch::async, [probe, path = port_path, &stop] {
        CancelScope scope(&StopRequested, &stop);
        return probe(path.c_str());
    });
    if (!WaitForProbe(outcome, std::chrono::steady_clock::now() + limit)) {
        // The late answer does not count, but the probe is always waited for.
        if (!Cancelled()) WaitForProbe(outcome, std::chrono::steady_clock::time_point::max());
        if (Cancelled()) stop = true;
        outcome.get();
        return false;
    }
    try {
        return outcome.get() != 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return false;
    }
}

bool CheckHandlePort(const char* port_path) {
    return TimedProbe(&ProbeHandlePort, port_path,
                      std::chrono::duration_cast<std::chrono::milliseconds>(kHandleProbeLimit));
}

std::vector<std::string> DetectOsmiras() {
    return Detect([](int32_t kind) { return kind == kPortTtyACM; }, ArmProbeAnswers);
}
std::vector<std::string> DetectHandles() {
    return Detect([](int32_t) { return true; }, HandleProbeAnswers);
}
std::vector<std::string> DetectWiredHandles() {
    return Detect([](int32_t kind) { return kind == kPortTtyUSB; }, HandleProbeAnswers);
}
std::vector<std::string> DetectWirelessHandles() {
    return Detect([](int32_t kind) { return kind == kPortRfcomm; }, HandleProbeAnswers);
}

}  // namespace Tavix::HardwareAPI
