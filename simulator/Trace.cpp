#include "Trace.h"

#include <ctime>
#include <stdexcept>

namespace tavix_devsim {

namespace {
// Large enough that a device thread writes to the file only every several thousand frames.
constexpr size_t kBufferBytes = 1 << 20;
}  // namespace

Trace::Trace(const std::string& path) : file(std::fopen(path.c_str(), "we")) {
    if (file == nullptr) throw std::runtime_error("cannot write the trace file '" + path + "'");
    std::setvbuf(file, nullptr, _IOFBF, kBufferBytes);
}

Trace::~Trace() { std::fclose(file); }

void Trace::ForceFrame(unsigned arm, const std::array<float, 3>& force, const std::array<float, 3>& position,
                       const std::array<float, 3>& velocity) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // %.9g gives back every binary32 value exactly.
    std::fprintf(file, "%lld%09ld %u %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g\n", static_cast<long long>(now.tv_sec),
                 now.tv_nsec, arm, force[0], force[1], force[2], position[0], position[1], position[2], velocity[0],
                 velocity[1], velocity[2]);
}

}  // namespace tavix_devsim
