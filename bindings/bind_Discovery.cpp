#include "bindings.h"

#include <pybind11/stl.h>

#include "TavixHardwareAPI/Discovery.h"

namespace tavix_bindings {

// The detect functions keep the interpreter lock for their whole run: their probe threads
// never call into Python, and other Python threads do not run while ports are probed.
void bind_Discovery(py::module_& m) {
    m.def("detect_osmiras", &HardwareAPI::DetectOsmiras, "detect available osmira devices");
    m.def("detect_handles", &HardwareAPI::DetectHandles, "detect available handles");
    m.def("detect_wired_handles", &HardwareAPI::DetectWiredHandles, "detect available wired handles");
    m.def("detect_wireless_handles", &HardwareAPI::DetectWirelessHandles, "detect available wireless handles");
}

}  // namespace tavix_bindings
