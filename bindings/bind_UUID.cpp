#include <pybind11/stl.h>

#include "bindings.h"

#include "TavixHardwareAPI/UUID.h"

namespace tavix_bindings {

void bind_UUID(py::module_& m) {
    using HardwareAPI::UUID;
    py::class_<UUID, std::unique_ptr<UUID>>(m, "UUID")
        .def(py::init<>())
        .def("bytes", [](const UUID& id) { return std::vector<uint8_t>(id.bytes().begin(), id.bytes().end()); });
}

}  // namespace tavix_bindings
