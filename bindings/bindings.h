// Registration functions of the module's members, one per bound class or area, called by
// the module entry in member order.
#pragma once

#include "conventions.h"

namespace Tavix::HardwareAPI::IO {}
namespace Tavix::HardwareAPI::Devices {}

namespace tavix_bindings {

namespace IO = Tavix::HardwareAPI::IO;
namespace Devices = Tavix::HardwareAPI::Devices;

void bind_SerialStream(py::module_& m);
void bind_UUID(py::module_& m);
void bind_Device(py::module_& m);
void bind_Version(py::module_& m);
void bind_Discovery(py::module_& m);
void bind_Osmira(py::module_& m);
void bind_Handle(py::module_& m);
void bind_ServoLoop(py::module_& m);
void bind_Probe(py::module_& m);

}  // namespace tavix_bindings
