#include "bindings.h"

#include "TavixHardwareAPI/Version.h"

namespace tavix_bindings {

void bind_Version(py::module_& m) {
    m.def("get_cpp_version", [] { return std::string(HardwareAPI::GetVersion()); }, "Get the version of the CPP library");
    m.def("print_cpp_version", &HardwareAPI::PrintVersion, "Print the version of the CPP library");
}

}  // namespace tavix_bindings
