#include <system_error>

#include "TavixHardwareAPI/Discovery.h"

namespace Tavix::HardwareAPI {

namespace fs = std::filesystem;

int32_t PortKindOfName(std::string_view name) {
    // The markers are searched anywhere in the name, in this order.
    if (name.find("ttyACM") != std::string_view::npos) return kPortTtyACM;
    if (name.find("ttyUSB") != std::string_view::npos) return kPortTtyUSB;
    if (name.find("rfcomm") != std::string_view::npos) return kPortRfcomm;
    return 0;
}

std::vector<PortCandidate> ScanSerialPorts(const fs::path& directory) {
    std::vector<PortCandidate> candidates;
    if (!fs::exists(directory)) return candidates;  // follows links; other errors throw
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        const int32_t kind = PortKindOfName(entry.path().filename().native());
        if (kind == 0) continue;
        candidates.push_back({fs::canonical(entry.path()).string(), kind});
    }
    return candidates;
}

std::vector<PortCandidate> ScanSerialPorts() { return ScanSerialPorts("/dev"); }

}  // namespace Tavix::HardwareAPI
