#include "conventions.h"

#include <charconv>
#include <chrono>
#include <forward_list>
#include <utility>

namespace tavix_bindings {

std::array<float, 3> FirstThree(const FloatList& list, const char* argument) {
    if (list.values.size() < 3) {
        throw py::value_error(std::string(argument) + ": expected at least 3 values, got " +
                              std::to_string(list.values.size()));
    }
    return {list.values[0], list.values[1], list.values[2]};
}

namespace {
// Puts a new reference into a fresh list, raising the interpreter's error when it could not be made.
void SetItem(py::list& list, size_t i, PyObject* item) {
    if (item == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(list.ptr(), static_cast<ssize_t>(i), item);
}
}  // namespace

py::list FloatsList(const float* values, size_t n) {
    py::list result(n);
    for (size_t i = 0; i < n; ++i) SetItem(result, i, PyFloat_FromDouble(static_cast<double>(values[i])));
    return result;
}

py::list IntsList(const uint8_t* values, size_t n) {
    py::list result(n);
    for (size_t i = 0; i < n; ++i) SetItem(result, i, PyLong_FromLong(values[i]));
    return result;
}

py::arg_v ArgF32(const char* name, float value) {
    // pybind11 copies the text only when the function is defined: it must outlive this call.
    static std::forward_list<std::string> texts;
    char digits[64];  // any float in fixed notation: 39 digits before the point, 45 after
    const auto end = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed).ptr;
    std::string& text = texts.emplace_front(digits, end);
    if (text.find('.') == std::string::npos) text += ".0";  // a float, not an int
    return py::arg_v(name, F32{value}, text.c_str());
}

std::string QuotedPort(const std::string& port) {
    const py::object text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(port.data(), static_cast<Py_ssize_t>(port.size())));
    if (!text) throw py::error_already_set();
    return py::repr(text).cast<std::string>();
}

std::string DeviceRepr(const py::handle& self, const HardwareAPI::Devices::Device& device) {
    const auto name = py::type::of(self).attr("__name__").cast<std::string>();
    return "<" + name + " on " + QuotedPort(device.stream->Port()) + ">";
}

namespace {
unsigned long main_thread = 0;
}  // namespace

void RememberMainThread() {
    main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
}

InterruptScope::InterruptScope() {
    if (PyThread_get_thread_ident() == main_thread) scope.emplace(&HandlerRaised, this);
}

InterruptScope::~InterruptScope() { Py_XDECREF(raised); }

bool InterruptScope::HandlerRaised(void* self) {
    py::gil_scoped_acquire lock;
    if (PyErr_CheckSignals() == 0) return false;
    static_cast<InterruptScope*>(self)->raised = PyErr_GetRaisedException();
    return true;
}

void InterruptScope::RaiseIfInterrupted() {
    if (raised == nullptr) return;
    PyErr_SetRaisedException(std::exchange(raised, nullptr));
    throw py::error_already_set();
}

void WarnDeprecated(const char* message) {
    if (PyErr_WarnEx(PyExc_DeprecationWarning, message, 1) != 0) throw py::error_already_set();
}

LineCall::LineCall(HardwareAPI::Devices::Device& device) : line(device.ownership) {
    using Call = HardwareAPI::Devices::LineOwnership::Call;
    Call call = line.BeginCall(false);
    // Another thread's call is in progress: wait for it a millisecond at a time without the
    // interpreter lock, so that a signal handler that raises meanwhile ends this call.
    while (call == Call::Busy) {
        call = WithoutGil([&] { return line.BeginCallWithin(std::chrono::milliseconds(1)); });
        if (call == Call::Busy && PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    if (call == Call::Driven) throw std::runtime_error("Osmira is driven by a running ServoLoop");
}

LineCall::~LineCall() { line.EndCall(); }

}  // namespace tavix_bindings
