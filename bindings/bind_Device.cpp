#include "bindings.h"

#include "TavixHardwareAPI/Device.h"

namespace tavix_bindings {

// A type record only: no constructor and no methods, and nothing accepts or returns it.
void bind_Device(py::module_& m) { py::class_<Devices::Device, std::unique_ptr<Devices::Device>>(m, "Device"); }

}  // namespace tavix_bindings
