#include "conventions.h"

#include <fcntl.h>
#include <unistd.h>

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


namespace {
// The module's wakeup pipe: the interpreter writes a byte to it for each signal it catches while
// a device call runs on the main thread. Made on the main thread, never closed.
int wakeup_read = -1, wakeup_write = -1;

bool MakeWakeupPipe() {
    if (wakeup_write >= 0) return true;
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    wakeup_read = ends[0];
    wakeup_write = ends[1];
    return true;
}

// Takes the bytes the interpreter wrote since the last look; how many.
ssize_t DrainWakeups(char* bytes, size_t capacity) {
    const ssize_t got = read(wakeup_read, bytes, capacity);
    return got > 0 ? got : 0;
}

// Set while this thread runs signal handlers from inside a device call.
thread_local bool running_handlers = false;
thread_local LineCall* innermost_call = nullptr;
}  // namespace

void RememberMainThread() {
    main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    MakeWakeupPipe();  // now, so that no call seems to leave descriptors open
}

InterruptScope::InterruptScope() {
    if (PyThread_get_thread_ident() != main_thread) return;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();  // one that came just before
    if (!MakeWakeupPipe()) return;
    // Bytes left from signals that came during an earlier call are harmless: the first look
    // takes them and finds no handler to run. No system call here, on every call's path.
    program_wakeup = PySignal_SetWakeupFd(wakeup_write);
    scope.emplace(&HandlerRaised, this);
}

InterruptScope::~InterruptScope() {
    if (scope) {
        scope.reset();
        PySignal_SetWakeupFd(program_wakeup);
        // A signal that came while the call ran without waiting is the program's to hear of too.
        char signals[64];
        if (program_wakeup >= 0) {
            for (ssize_t came; (came = DrainWakeups(signals, sizeof signals)) > 0;)
                (void)!write(program_wakeup, signals, static_cast<size_t>(came));
        }
    }
    Py_XDECREF(raised);
}

bool InterruptScope::HandlerRaised(void* self) {
    auto* interrupt = static_cast<InterruptScope*>(self);
    char signals[64];
    const ssize_t came = DrainWakeups(signals, sizeof signals);
    if (came == 0) return false;
    py::gil_scoped_acquire lock;
    // The program's own wakeup descriptor (an event loop's) learns of them as it would have.
    if (interrupt->program_wakeup >= 0) (void)!write(interrupt->program_wakeup, signals, static_cast<size_t>(came));
    running_handlers = true;
    const int failed = PyErr_CheckSignals();
    running_handlers = false;
    if (failed == 0) return false;
    interrupt->raised = PyErr_GetRaisedException();
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

bool LineCall::HandlerInterrupts(const HardwareAPI::IO::Line* port) {
    if (!running_handlers) return false;
    for (const LineCall* call = innermost_call; call != nullptr; call = call->outer)
        if (call->line.get() == port) return true;
    return false;
}

LineCall::LineCall(HardwareAPI::Devices::Device& device) : LineCall(*device.stream) {}

LineCall::LineCall(HardwareAPI::IO::SerialStream& stream) : line(stream.SharedLineHandle()), outer(innermost_call) {
    if (HandlerInterrupts(line.get()))
        throw std::runtime_error("a signal handler cannot use a port whose call it interrupted");
    using Call = HardwareAPI::Devices::LineOwnership::Call;
    auto& ownership = line->ownership;
    Call call = ownership.BeginCall(false);
    // Another thread's call is in progress: wait for it a millisecond at a time without the
    // interpreter lock, so that a signal handler that raises meanwhile ends this call.
    while (call == Call::Busy) {
        call = WithoutGil([&] { return ownership.BeginCallWithin(std::chrono::milliseconds(1)); });
        if (call == Call::Busy && PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    if (call == Call::Driven) throw std::runtime_error("Osmira is driven by a running ServoLoop");
    innermost_call = this;
}

LineCall::~LineCall() {
    innermost_call = outer;
    line->ownership.EndCall();
}

}  // namespace tavix_bindings
