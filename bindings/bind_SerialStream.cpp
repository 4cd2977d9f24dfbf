#include "bindings.h"

#include "TavixHardwareAPI/SerialStream.h"

namespace tavix_bindings {

namespace {
void CloseStream(IO::SerialStream& stream) {
    const LineCall call(stream);
    stream.Close();
}
}  // namespace

void bind_SerialStream(py::module_& m) {
    using IO::SerialStream;
    py::class_<SerialStream, std::unique_ptr<SerialStream>>(m, "SerialStream")
        .def(py::init([](const std::string& port) {
                 // The stream reads the path only while opening, which happens here.
                 return WithoutGil([&] { return std::make_unique<SerialStream>(port.c_str(), true); });
             }),
             "Initialize the serial stream")
        .def_property_readonly("is_open", &SerialStream::IsOpen, "True while the port is open.")
        .def_property_readonly(
            "port", [](const SerialStream& stream) { return stream.Port(); }, "The port path the stream was made on.")
        .def_property_readonly("open_error", &SerialStream::OpenError,
                               "The errno of the open() that failed (for example errno.EACCES), 0 when the port is "
                               "open.")
        // Closing waits for a call of another thread on the port and is refused while a servo
        // loop drives it (it could no longer take its force back); once closed, calls fail at
        // once (reads end, writes fail).
        .def("close", &CloseStream, "Close the port (again: nothing happens).")
        .def("__enter__", [](py::object self) { return self; })
        .def(
            "__exit__", [](SerialStream& stream, const py::args&) { CloseStream(stream); },
            "Close the port on leaving the with block.")
        .def("__repr__", [](const SerialStream& stream) {
            return "<SerialStream " + QuotedPort(stream.Port()) + (stream.IsOpen() ? " open>" : " closed>");
        });
}

}  // namespace tavix_bindings
