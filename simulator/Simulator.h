// Every simulated device of one run, each on its own pseudo-terminal and thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "DeviceLoop.h"
#include "Options.h"
#include "Trace.h"

namespace tavix_devsim {

class Simulator {
public:
    // Opens every device's pseudo-terminal; throws std::runtime_error when that fails.
    explicit Simulator(const Options& options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    void Start();
    // Stops every device loop and waits for it; idempotent.
    void Stop();

    std::vector<std::string> ArmPaths() const;
    std::vector<std::string> HandlePaths() const;

private:
    std::unique_ptr<Trace> trace;  // first, so that it outlives the device loops writing to it
    std::vector<std::unique_ptr<DeviceLoop>> arms;
    std::vector<std::unique_ptr<DeviceLoop>> handles;
    int stop_fd = -1;
    std::atomic<bool> stopping{false};
};

}  // namespace tavix_devsim
