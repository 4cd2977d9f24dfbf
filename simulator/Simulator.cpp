#include "Simulator.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <stdexcept>

#include "ArmSim.h"
#include "HandleSim.h"

namespace tavix_devsim {

namespace {
std::vector<std::string> PathsOf(const std::vector<std::unique_ptr<DeviceLoop>>& loops) {
    std::vector<std::string> paths;
    for (const auto& loop : loops) paths.push_back(loop->Path());
    return paths;
}
}  // namespace

Simulator::Simulator(const Options& options)
    : trace(options.trace.empty() ? nullptr : std::make_unique<Trace>(options.trace)) {
    const Clock::time_point start = Clock::now();
    for (unsigned i = 0; i < options.arms; ++i) {
        const auto id = static_cast<uint16_t>(options.device_id + i);
        arms.push_back(std::make_unique<DeviceLoop>(std::make_unique<ArmSim>(id, start, trace.get(), i), options.arm_faults.at(i),
                                                    options.notify_hz, options.spin));
    }
    for (unsigned i = 0; i < options.handles; ++i) {
        const auto id = static_cast<uint16_t>(options.device_id + i);
        handles.push_back(std::make_unique<DeviceLoop>(std::make_unique<HandleSim>(id, options.status_hz, start),
                                                       options.handle_faults.at(i), options.notify_hz, options.spin));
    }
    // Last, so that nothing opened before can leak when this throws.
    stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd < 0) throw std::runtime_error("cannot create an eventfd");
}

Simulator::~Simulator() {
    Stop();
    close(stop_fd);
}

void Simulator::Start() {
    for (auto& loop : arms) loop->Start(stop_fd, stopping);
    for (auto& loop : handles) loop->Start(stop_fd, stopping);
}

void Simulator::Stop() {
    stopping = true;
    const uint64_t one = 1;
    if (write(stop_fd, &one, sizeof one) < 0) {
        // Only a full counter fails, and then the descriptor is readable anyway.
    }
    for (auto& loop : arms) loop->Join();
    for (auto& loop : handles) loop->Join();
}

std::vector<std::string> Simulator::ArmPaths() const { return PathsOf(arms); }
std::vector<std::string> Simulator::HandlePaths() const { return PathsOf(handles); }

}  // namespace tavix_devsim
