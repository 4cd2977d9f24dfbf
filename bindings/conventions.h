// Rules every bound method follows: argument types and the names their signatures show,
// the short-vector rule, deprecation warnings, and releasing the interpreter lock around
// device traffic.
#pragma once

#include <pybind11/pybind11.h>

#include "TavixHardwareAPI/Cancellation.h"
#include "TavixHardwareAPI/Device.h"

#include <array>
#include <memory>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace tavix_bindings {

namespace py = pybind11;
namespace HardwareAPI = Tavix::HardwareAPI;

// A Python float argument converted to binary32; its signature shows `float`.
struct F32 {
    float value = 0.0f;
    operator float() const { return value; }
};

// A Python int argument of the library's width (refused when out of range or not an int);
// its signature shows `int`.
template <typename T>
struct Int {
    static_assert(std::is_integral<T>::value, "Int wraps integers");
    T value = 0;
    operator T() const { return value; }
};

// A sequence of numbers copied into binary32 values: any sequence but str and bytes.
// Its signature shows `list[float]`; as a result it becomes a new list.
struct FloatList {
    std::vector<float> values;
};

// A fixed-length result: a new list of exactly N floats, shown as
// `Annotated[list[float], FixedSize(N)]`.
template <size_t N>
struct FixedFloats {
    std::array<float, N> values{};
};

// The first three values of a vector argument. Shorter vectors are refused with
// ValueError("<argument>: expected at least 3 values, got <n>") so that nothing is ever read
// past the caller's items.
std::array<float, 3> FirstThree(const FloatList& list, const char* argument);

// New Python lists of the given values; a failed item allocation raises the interpreter's error.
py::list FloatsList(const float* values, size_t n);
py::list IntsList(const uint8_t* values, size_t n);

// A keyword argument with a binary32 default, shown in signatures by the shortest decimal that
// reads back as that value (reply_timeout: float = 0.02, not 0.019999999552965164).
py::arg_v ArgF32(const char* name, float value);

// The port path as Python shows it, quoted: '/dev/ttyACM0' (undecodable bytes escaped as the
// file system encoding does, so a repr never raises).
std::string QuotedPort(const std::string& port);
// "<Osmira on '/dev/ttyACM0'>", with the name of `self`'s class (a Python subclass's own).
std::string DeviceRepr(const py::handle& self, const HardwareAPI::Devices::Device& device);

// Issues a DeprecationWarning attributed to the caller's line. When a warnings filter turns
// it into an error, that error is raised and the call stops before any device traffic.
void WarnDeprecated(const char* message);

// Runs `work` with the interpreter lock released and returns its result.
template <typename Work>
auto WithoutGil(Work&& work) -> decltype(work()) {
    py::gil_scoped_release release;
    return std::forward<Work>(work)();
}

// Notes the interpreter's main thread; the module entry calls it once, with the lock held.
void RememberMainThread();

// One device call made from the interpreter's main thread, where Python runs its signal
// handlers: the library's waits look, about once a millisecond, whether a signal has come (the
// interpreter's wakeup descriptor, set to a pipe of the module's for the call's duration, so
// that looking needs no interpreter lock and never stretches a wait while another thread holds
// it). When one has, its handlers run there; when one raised (Ctrl-C's KeyboardInterrupt, or
// any handler that raises), the waits end at once and RaiseIfInterrupted raises that
// exception. A wakeup descriptor the program had set still gets every signal. On other threads
// the scope does nothing, as a handler can never run there. Constructed and destroyed with the
// interpreter lock held; a handler that raised before the call began raises at once.
class InterruptScope {
public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
    void RaiseIfInterrupted();

private:
    // The library's cancellation check: takes the interpreter lock only when a signal came.
    static bool HandlerRaised(void* self);

    std::optional<HardwareAPI::CancelScope> scope;
    PyObject* raised = nullptr;
    int program_wakeup = -1;  // the wakeup descriptor the scope replaced
};

// Runs device traffic: `work` with the interpreter lock released (or kept, when `release` is
// false), interruptible by a signal handler that raises.
template <bool release = true, typename Work>
auto DeviceCall(Work&& work) -> decltype(work()) {
    InterruptScope interrupt;
    auto run = [&] {
        if constexpr (release) {
            return WithoutGil(std::forward<Work>(work));
        } else {
            return std::forward<Work>(work)();
        }
    };
    if constexpr (std::is_void_v<decltype(work())>) {
        run();
        interrupt.RaiseIfInterrupted();
    } else {
        auto result = run();
        interrupt.RaiseIfInterrupted();
        return result;
    }
}

// Device traffic that keeps the interpreter lock throughout (the arm's queries, discovery).
template <typename Work>
auto DeviceCallHoldingLock(Work&& work) -> decltype(work()) {
    return DeviceCall<false>(std::forward<Work>(work));
}

// One method call that holds `device`'s port (its IO::Line's LineOwnership, shared by every
// object on that port) from construction to destruction: a call of another thread in progress
// is waited for without the interpreter lock, and while a servo loop drives the port the call
// raises RuntimeError("Osmira is driven by a running ServoLoop") before it does anything. A
// signal handler that calls onto a port whose call it interrupted raises RuntimeError at once:
// its frames would land in the middle of that call's exchange.
class LineCall {
public:
    explicit LineCall(HardwareAPI::Devices::Device& device);
    explicit LineCall(HardwareAPI::IO::SerialStream& stream);
    ~LineCall();
    LineCall(const LineCall&) = delete;
    LineCall& operator=(const LineCall&) = delete;

private:
    // Whether this thread, running a signal handler, interrupted a call on `port`.
    static bool HandlerInterrupts(const HardwareAPI::IO::Line* port);

    std::shared_ptr<HardwareAPI::IO::Line> line;
    LineCall* outer;  // the call of this thread that this one is nested in
};

// DeviceCall on `device`'s line (LineCall).
template <bool release = true, typename Work>
auto DeviceCall(HardwareAPI::Devices::Device& device, Work&& work) -> decltype(work()) {
    const LineCall line(device);
    return DeviceCall<release>(std::forward<Work>(work));
}

template <typename Work>
auto DeviceCallHoldingLock(HardwareAPI::Devices::Device& device, Work&& work) -> decltype(work()) {
    return DeviceCall<false>(device, std::forward<Work>(work));
}

}  // namespace tavix_bindings

namespace pybind11::detail {

template <>
struct type_caster<tavix_bindings::F32> {
    PYBIND11_TYPE_CASTER(tavix_bindings::F32, const_name("float"));
    bool load(handle src, bool convert) {
        make_caster<float> inner;
        if (!inner.load(src, convert)) return false;
        value.value = cast_op<float>(inner);
        return true;
    }
    static handle cast(tavix_bindings::F32 src, return_value_policy, handle) {
        return PyFloat_FromDouble(static_cast<double>(src.value));
    }
};

template <typename T>
struct type_caster<tavix_bindings::Int<T>> {
    PYBIND11_TYPE_CASTER(tavix_bindings::Int<T>, const_name("int"));
    bool load(handle src, bool convert) {
        make_caster<T> inner;
        if (!inner.load(src, convert)) return false;
        value.value = cast_op<T>(inner);
        return true;
    }
    static handle cast(tavix_bindings::Int<T> src, return_value_policy policy, handle parent) {
        return make_caster<T>::cast(src.value, policy, parent);
    }
};

template <>
struct type_caster<tavix_bindings::FloatList> {
    PYBIND11_TYPE_CASTER(tavix_bindings::FloatList, const_name("list[float]"));
    bool load(handle src, bool convert) {
        if (!isinstance<sequence>(src) || isinstance<bytes>(src) || isinstance<str>(src)) return false;
        const auto items = reinterpret_borrow<sequence>(src);
        std::vector<float> values;
        values.reserve(items.size());
        for (const auto& item : items) {
            make_caster<float> inner;
            if (!inner.load(item, convert)) return false;
            values.push_back(cast_op<float>(inner));
        }
        value.values = std::move(values);
        return true;
    }
    static handle cast(const tavix_bindings::FloatList& src, return_value_policy, handle) {
        return tavix_bindings::FloatsList(src.values.data(), src.values.size()).release();
    }
};

template <size_t N>
struct type_caster<tavix_bindings::FixedFloats<N>> {
    PYBIND11_TYPE_CASTER(tavix_bindings::FixedFloats<N>,
                         const_name("Annotated[list[float], FixedSize(") + const_name<N>() + const_name(")]"));
    bool load(handle, bool) { return false; }  // results only
    static handle cast(const tavix_bindings::FixedFloats<N>& src, return_value_policy, handle) {
        return tavix_bindings::FloatsList(src.values.data(), N).release();
    }
};

}  // namespace pybind11::detail
