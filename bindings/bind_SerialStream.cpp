#include "bindings.h"

#include "TavixHardwareAPI/SerialStream.h"

namespace tavix_bindings {

void bind_SerialStream(py::module_& m) {
    using IO::SerialStream;
    py::class_<SerialStream, std::unique_ptr<SerialStream>>(m, "SerialStream")
        .def(py::init([](const std::string& port) {
                 // The stream reads the path only while opening, which happens here.
                 return WithoutGil([&] { return std::make_unique<SerialStream>(port.c_str(), true); });
             }),
             "Initialize the serial stream");
}

}  // namespace tavix_bindings
