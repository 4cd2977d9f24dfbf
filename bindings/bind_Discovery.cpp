#include "bindings.h"

#include <pybind11/stl.h>

#include "TavixHardwareAPI/Discovery.h"

namespace tavix_bindings {

namespace {
using Detect = std::vector<std::string> (*)();

// The detect functions keep the interpreter lock for their whole run: their probe threads
// never call into Python, and other Python threads do not run while ports are probed. A
// signal handler that raises still ends the call: the probe is stopped and joined.
template <Detect detect>
std::vector<std::string> Interruptible() {
    return DeviceCallHoldingLock(detect);
}
}  // namespace

void bind_Discovery(py::module_& m) {
    m.def("detect_osmiras", &Interruptible<&HardwareAPI::DetectOsmiras>, "detect available osmira devices");
    m.def("detect_handles", &Interruptible<&HardwareAPI::DetectHandles>, "detect available handles");
    m.def("detect_wired_handles", &Interruptible<&HardwareAPI::DetectWiredHandles>, "detect available wired handles");
    m.def("detect_wireless_handles", &Interruptible<&HardwareAPI::DetectWirelessHandles>,
          "detect available wireless handles");
}

}  // namespace tavix_bindings
