// The simulator's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Faults.h"

namespace tavix_devsim {

constexpr unsigned kMaxDevicesPerKind = 32;

struct Options {
    unsigned arms = 1;
    unsigned handles = 1;
    uint16_t device_id = 1;  // of the first arm and of the first handle; the next ones count up
    double notify_hz = 0.0;
    double status_hz = 100.0;
    bool spin = false;
    bool json = false;
    bool exit_with_parent = false;
    std::string trace;  // file recording the arms' force frames; none when empty
    std::vector<FaultPlan> arm_faults;     // one per arm
    std::vector<FaultPlan> handle_faults;  // one per handle
};

struct CommandLine {
    Options options;
    bool help = false;
    std::string error;  // empty when the command line was understood
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

extern const char* const kUsage;

}  // namespace tavix_devsim
