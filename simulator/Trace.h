// The simulator's own record of the force frames its arms receive, for checking a host
// against what the arm was really told and answered, and for timing a command's way to the
// line. One text line per frame:
//   <CLOCK_REALTIME ns> <arm index> <force x y z> <position x y z> <velocity x y z>
// force as received (newtons), position (metres) and velocity (m/s) as answered.
#pragma once

#include <array>
#include <cstdio>
#include <string>

namespace tavix_devsim {

class Trace {
public:
    // Throws std::runtime_error when `path` cannot be written.
    explicit Trace(const std::string& path);
    // Writes out what is still buffered.
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Safe from every device thread: each line is one locked stdio call.
    void ForceFrame(unsigned arm, const std::array<float, 3>& force, const std::array<float, 3>& position,
                    const std::array<float, 3>& velocity);

private:
    std::FILE* file;
};

}  // namespace tavix_devsim
