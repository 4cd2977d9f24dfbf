#include "bindings.h"

#include <stdexcept>
#include <string>

#include "TavixHardwareAPI/Handle.h"
#include "TavixHardwareAPI/HoldraStatus.h"

namespace tavix_bindings {
namespace {

// User data from Python: bytes, bytearray or a sequence of ints 0..255; a single int (one
// byte, as older callers pass it); or None for no data. Held inline, zero-padded: no length
// byte on the wire can reach past the 255 bytes.
struct UserBytes {
    std::array<uint8_t, 255> bytes{};
    size_t size = 0;
    bool single = false;
};

// A quaternion from Python: a sequence of floats (four are required), or a single float
// (component 0, as older callers pass it; the others are 0).
struct QuaternionArg {
    std::array<float, 4> values{};
    size_t given = 0;
    bool single = false;
};

// Refuses a length that would make the library read past the user data that Python gave.
void RequireUserData(const UserBytes& data, uint8_t length, const char* length_name) {
    if (length > data.size) {
        throw py::value_error(std::string(length_name) + " (" + std::to_string(length) +
                              ") exceeds the length of user_data (" + std::to_string(data.size) + ")");
    }
}

void RequireFourComponents(const QuaternionArg& quaternion) {
    if (!quaternion.single && quaternion.given != 4) {
        throw py::value_error("quaternion: expected 4 values, got " + std::to_string(quaternion.given));
    }
}

py::dict StatusDict(const Devices::HoldraStatus& status) {
    py::dict result;
    result["device_id"] = status.device_id;
    result["quaternion"] = FloatsList(status.quaternion, 4);
    result["error_flag"] = status.error_flag;
    result["hall_effect_sensor_level"] = status.hall_effect_sensor_level;
    result["buttons"] = status.buttons;
    result["battery_level"] = static_cast<double>(status.battery_level);
    return result;
}

}  // namespace
}  // namespace tavix_bindings

namespace pybind11::detail {

template <>
struct type_caster<tavix_bindings::UserBytes> {
    PYBIND11_TYPE_CASTER(tavix_bindings::UserBytes, const_name("bytes | collections.abc.Sequence[int] | int | None"));
    bool load(handle src, bool convert) {
        value = {};
        if (src.is_none()) return true;
        if (isinstance<str>(src)) return false;
        if (isinstance<sequence>(src)) return LoadSequence(reinterpret_borrow<sequence>(src), convert);
        make_caster<uint8_t> byte;
        if (!byte.load(src, convert)) return false;
        value.bytes[0] = cast_op<uint8_t>(byte);
        value.size = 1;
        value.single = true;
        return true;
    }

private:
    bool LoadSequence(const sequence& items, bool convert) {
        size_t count = 0;
        for (const auto& item : items) {
            make_caster<uint8_t> byte;
            if (!byte.load(item, convert)) return false;
            if (count < value.bytes.size()) value.bytes[count++] = cast_op<uint8_t>(byte);
        }
        value.size = count;  // beyond 255 bytes nothing can be sent or delivered
        return true;
    }
};

template <>
struct type_caster<tavix_bindings::QuaternionArg> {
    PYBIND11_TYPE_CASTER(tavix_bindings::QuaternionArg, const_name("collections.abc.Sequence[float] | float"));
    bool load(handle src, bool convert) {
        value = {};
        if (isinstance<sequence>(src)) {
            if (isinstance<str>(src) || isinstance<bytes>(src)) return false;
            for (const auto& item : reinterpret_borrow<sequence>(src)) {
                make_caster<float> component;
                if (!component.load(item, convert)) return false;
                if (value.given < value.values.size()) value.values[value.given] = cast_op<float>(component);
                ++value.given;
            }
            return true;
        }
        make_caster<float> component;
        if (!component.load(src, convert)) return false;
        value.values[0] = cast_op<float>(component);
        value.given = 1;
        value.single = true;
        return true;
    }
};

}  // namespace pybind11::detail

// Forwards the argument-form callbacks to the overrides of a Python subclass of Handle. The
// library calls them from Receive with the interpreter lock released, so each takes the lock
// for the look-up and the call only.
class TrampolineHandle : public Tavix::HardwareAPI::Devices::Handle {
public:
    using Handle::Handle;

    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
                             uint8_t hardware_version, uint8_t firmware_version) override {
        if (!CallOverride("OnReceiveHandleInfo", tool_data_remaining, device_id, device_model_number,
                          hardware_version, firmware_version)) {
            Handle::OnReceiveHandleInfo(tool_data_remaining, device_id, device_model_number, hardware_version,
                                        firmware_version);
        }
    }

    // Python has no default for the status message: a subclass must handle it.
    void OnReceiveHandleStatusMessage(uint16_t device_id, float* quaternion, uint8_t error_flag,
                                      uint8_t hall_effect_sensor_level, uint8_t user_data_length,
                                      uint8_t* user_data) override {
        pybind11::gil_scoped_acquire gil;
        pybind11::function override = Override("OnReceiveHandleStatusMessage");
        if (!override) {
            throw std::runtime_error(
                "Tried to call pure virtual function \"API::Devices::Handle::OnReceiveHandleStatusMessage\"");
        }
        // Copies: the lists stay valid after Receive returns and changing them changes nothing here.
        override(device_id, tavix_bindings::FloatsList(quaternion, 4), error_flag, hall_effect_sensor_level,
                 user_data_length, tavix_bindings::IntsList(user_data, user_data_length));
    }

    void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
        if (!CallOverride("OnReceiveHandleErrorResponse", device_id, error_code))
            Handle::OnReceiveHandleErrorResponse(device_id, error_code);
    }

private:
    // Calls the Python override of `name` with the lock taken for the look-up and the call
    // only; false when the subclass has none.
    template <typename... Args>
    bool CallOverride(const char* name, Args... args) const {
        pybind11::gil_scoped_acquire gil;
        pybind11::function override = Override(name);
        if (override) override(args...);
        return static_cast<bool>(override);
    }

    // The Python method of that name when the instance's class overrides it (and the call
    // does not come from inside that override); the lock must be held.
    pybind11::function Override(const char* name) const {
        return pybind11::get_override(static_cast<const Handle*>(this), name);
    }
};

namespace tavix_bindings {

void bind_Handle(py::module_& m) {
    using Devices::Handle;
    using U8 = Int<uint8_t>;
    using U16 = Int<uint16_t>;
    py::class_<Handle, TrampolineHandle, std::unique_ptr<Handle>>(m, "Handle", "The holdra handle class")
        // The handle talks through the stream for its whole life: keep the Python stream alive.
        .def(py::init<IO::SerialStream&>(), py::keep_alive<1, 2>())
        .def("SendDeviceWakeup", [](Handle& h) { DeviceCall([&] { h.SendDeviceWakeup(); }); })
        .def(
            "SendHandleState",
            [](Handle& h, U16 device_id, U8 data_length, const UserBytes& user_data) {
                RequireUserData(user_data, data_length, "data_length");
                DeviceCall([&] { h.SendHandleState(device_id, data_length, user_data.bytes.data()); });
            },
            py::arg("device_id") = 0, py::arg("data_length") = 0, py::arg("user_data") = py::none(),
            "send handle state")
        .def("RequestStatus", [](Handle& h) { DeviceCall([&] { h.RequestStatus(); }); }, "request handle status")
        .def(
            "OnReceiveHandleInfo",
            [](Handle& h, U8 tool_data_remaining, U16 device_id, U8 device_model_number, U8 hardware_version,
               U8 firmware_version) {
                h.OnReceiveHandleInfo(tool_data_remaining, device_id, device_model_number, hardware_version,
                                      firmware_version);
            },
            py::arg("tool_data_remaining"), py::arg("device_id"), py::arg("device_model_number"),
            py::arg("hardware_version"), py::arg("firmware_version"), "OnReceiveHandleInfo")
        .def(
            "OnReceiveHandleStatusMessage",
            [](Handle& h, U16 device_id, QuaternionArg quaternion, U8 error_flag, U8 hall_effect_sensor_level,
               U8 user_data_length, UserBytes user_data) {
                RequireFourComponents(quaternion);
                // A single int stands for the first byte; the zero padding covers any length.
                if (!user_data.single) RequireUserData(user_data, user_data_length, "user_data_length");
                h.OnReceiveHandleStatusMessage(device_id, quaternion.values.data(), error_flag,
                                               hall_effect_sensor_level, user_data_length, user_data.bytes.data());
            },
            py::arg("device_id"), py::arg("quaternion"), py::arg("error_flag"), py::arg("hall_effect_sensor_level"),
            py::arg("user_data_length"), py::arg("user_data"), "OnReceiveHandleStatusMessage")
        .def(
            "OnReceiveHandleErrorResponse",
            [](Handle& h, U16 device_id, U8 error_code) { h.OnReceiveHandleErrorResponse(device_id, error_code); },
            py::arg("device_id"), py::arg("error_code"), "OnReceiveHandleErrorResponse")
        .def("Receive", [](Handle& h) { return DeviceCall([&] { return h.Receive(); }); },
             "Receive data from the handle")
        .def(
            "Receive",
            [](Handle& h, Int<int>) {
                WarnDeprecated("Receive with one argument is deprecated");
                return DeviceCall([&] { return h.Receive(); });
            },
            py::arg("obsolete"), "[DEPRECATED] Receive current and return current")
        .def(
            "GetHoldraStatus",
            [](Handle& h) { return StatusDict(DeviceCall([&] { return Devices::GetHoldraStatus(h); })); },
            "Get the most recent Holdra informations")
        .def("__repr__", [](const py::object& self) { return DeviceRepr(self, self.cast<const Handle&>()); });
}

}  // namespace tavix_bindings
