#include "TavixHardwareAPI/Discovery.h"

#include <cstdio>
#include <exception>
#include <future>
#include <iostream>

#include "TavixHardwareAPI/Handle.h"
#include "TavixHardwareAPI/Osmira.h"
#include "TavixHardwareAPI/SerialStream.h"

namespace Tavix::HardwareAPI {

namespace {
constexpr uint8_t kArmModel = 4;

// Records whether a handle answered a wake-up with information or status.
class MyHandle : public Devices::Handle {
public:
    using Handle::Handle;
    bool received = false;

    void OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) override { received = true; }
    void OnReceiveHandleStatusMessage(uint16_t, float*, uint8_t, uint8_t, uint8_t, uint8_t*) override {
        received = true;
    }
};

int ProbeArm(const char* port_path) {
    IO::SerialStream stream(port_path, false);
    if (stream.Open() != 1) return 0;
    Devices::Osmira arm(stream);
    arm.SendDeviceWakeup();
    // A missing, cut-short or unexpected reply (drained) reads as an all-zero record.
    const bool is_arm = arm.ReceiveDeviceInfo().device_model_number == kArmModel;
    stream.Close();
    return is_arm ? 1 : 0;
}

int ProbeHandle(const char* port_path) {
    IO::SerialStream stream(port_path, false);
    if (stream.Open() != 1) return 0;
    MyHandle handle(stream);
    handle.SendDeviceWakeup();
    handle.Receive();
    stream.Close();
    return handle.received ? 1 : 0;
}

template <typename Probe>
std::vector<std::string> Detect(bool (*wanted)(int32_t kind), Probe&& probe) {
    std::vector<std::string> found;
    for (const PortCandidate& candidate : ScanSerialPorts()) {
        if (wanted(candidate.kind) && probe(candidate.path)) found.push_back(candidate.path);
    }
    return found;
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
    // The worker owns its copy of the path; std::async throws when no thread can be started.
    std::future<int> outcome = std::async(std::launch::async, [probe, path = port_path] { return probe(path.c_str()); });
    if (outcome.wait_for(limit) != std::future_status::ready) {
        outcome.get();  // the late answer does not count, but the probe is always waited for
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
