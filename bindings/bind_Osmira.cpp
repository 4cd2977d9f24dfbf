#include <memory>
#include <string>

#include <pybind11/stl.h>

#include "bindings.h"

#include "TavixHardwareAPI/ArmModel.h"
#include "TavixHardwareAPI/Osmira.h"

namespace tavix_bindings {

namespace {

using Devices::Osmira;
using Devices::Vector3;
using OsmiraClass = py::class_<Osmira, std::unique_ptr<Osmira>>;

// Twelve-space indented lines, as the docstring has always read (328 characters).
constexpr const char* kReceiveDeviceInfoDoc =
    "\n"
    "            Receive device info and return a tuple with the following fields: \n"
    "\n"
    "            device_id (uint16_t)\n"
    "            \n"
    "            device_model_num (uint8_t)\n"
    "            \n"
    "            hardware_version (uint8_t)\n"
    "            \n"
    "            firmware_version (uint8_t)\n"
    "            \n"
    "            device_id_ext (UUID)\n"
    "            ";
constexpr const char* kPowerStatusDoc = "Receive the power status of the device.";
constexpr const char* kSendForceDoc = "[Deprecated] Send force to the device";
constexpr const char* kSendForceWarning = "SendForce is deprecated, use end_effector_force instead";

// The default of every vector argument: zeros, shown as [0.0, 0.0, 0.0].
FloatList Zeros() { return FloatList{{0.0f, 0.0f, 0.0f}}; }

py::list ToList(const Vector3& v) { return FloatsList(v.data(), v.size()); }

py::tuple Pair(const Vector3& first, const Vector3& second) { return py::make_tuple(ToList(first), ToList(second)); }

// Hands a vector argument back with its first three entries replaced (the rest untouched).
void StoreFirstThree(FloatList& list, const Vector3& v) { std::copy(v.begin(), v.end(), list.values.begin()); }

py::object StandardUuid(const HardwareAPI::UUID& id) {
    return py::module_::import("uuid").attr("UUID")(py::arg("hex") = id.ToHex());
}

py::tuple InfoTuple(const Devices::DeviceInfo& info, py::object device_id_ext) {
    return py::make_tuple(info.device_id, info.device_model_number, info.hardware_version, info.firmware_version,
                          std::move(device_id_ext));
}

Devices::DeviceInfo Wakeup(Osmira& arm) {
    return DeviceCall(arm, [&] {
        arm.SendDeviceWakeup();
        return arm.ReceiveDeviceInfo();
    });
}

using Send = void (Osmira::*)(const Vector3&);
using Receive = bool (Osmira::*)(Vector3&, Vector3&);
using Exchange = bool (Osmira::*)(const Vector3&, Vector3&, Vector3&);

// A current control-loop method: one request, its own reply, zeros when the reply is missing.
template <Exchange exchange>
void DefExchange(OsmiraClass& cls, const char* name, const char* argument, const char* doc) {
    cls.def(
        name,
        [argument](Osmira& arm, const FloatList& request) {
            const Vector3 values = FirstThree(request, argument);
            Vector3 first{}, second{};
            DeviceCall(arm, [&] { (arm.*exchange)(values, first, second); });
            return Pair(first, second);
        },
        py::arg(argument) = Zeros(), doc);
}

// An older send-only method; `warning` is null for the one that is not deprecated.
template <Send send>
void DefSend(OsmiraClass& cls, const char* name, const char* argument, const char* doc, const char* warning) {
    cls.def(
        name,
        [argument, warning](Osmira& arm, const FloatList& request) {
            const Vector3 values = FirstThree(request, argument);
            if (warning != nullptr) WarnDeprecated(warning);
            DeviceCall(arm, [&] { (arm.*send)(values); });
        },
        py::arg(argument) = Zeros(), doc);
}

// An older receive-only method: copies of the two lists come back, their first three
// entries replaced by the reply's values when it came.
template <Receive receive>
void DefReceive(OsmiraClass& cls, const char* name, const char* first_name, const char* second_name,
                const char* doc, const char* warning) {
    cls.def(
        name,
        [=](Osmira& arm, FloatList first, FloatList second) -> py::tuple {
            Vector3 a = FirstThree(first, first_name), b = FirstThree(second, second_name);
            WarnDeprecated(warning);
            if (DeviceCall(arm, [&] { return (arm.*receive)(a, b); })) {
                StoreFirstThree(first, a);
                StoreFirstThree(second, b);
            }
            return py::make_tuple(std::move(first), std::move(second));
        },
        py::arg(first_name) = Zeros(), py::arg(second_name) = Zeros(), doc);
}

void BindRawAccess(OsmiraClass& cls) {
    cls.def(py::init<IO::SerialStream&>(), py::keep_alive<1, 2>())
        .def(py::init([](IO::SerialStream& stream, F32 timeout) { return std::make_unique<Osmira>(stream, timeout); }),
             py::arg("stream"), py::arg("timeout") = F32{Devices::Device::kDefaultTimeout}, py::keep_alive<1, 2>(),
             "Construct an Osmira with a custom serial timeout (seconds).")
        .def(
            "send_raw",
            [](Osmira& arm, const py::bytes& payload) {
                const std::string data = payload;
                if (!DeviceCall(arm, [&] { return arm.SendRaw(data.data(), data.size()); }))
                    throw std::runtime_error("send_raw: underlying stream write failed");
            },
            py::arg("payload"), "Send raw bytes directly to the serial stream (no framing).")
        .def(
            "read_raw",
            [](Osmira& arm, Int<size_t> n, F32 timeout) {
                // Uninitialised on purpose: only the bytes read are ever returned, and a large
                // request must not touch memory it may never fill.
                const std::unique_ptr<char[]> buffer(new char[n.value]);
                const size_t got = DeviceCall(arm, [&] { return arm.ReadWithTimeout(buffer.get(), n, timeout); });
                return py::bytes(buffer.get(), got);
            },
            py::arg("n"), py::arg("timeout") = F32{1.0f},
            "Read up to n bytes with a per-call timeout (seconds). Returns whatever was received (may be shorter "
            "than n on timeout).")
        .def(
            "set_read_timeout",
            [](Osmira& arm, F32 t) {
                const LineCall line(arm);
                arm.read_timeout = t;
            },
            py::arg("t"),
            "Set the device-level read timeout (seconds).")
        .def(
            "flush_input", [](Osmira& arm) { DeviceCall(arm, [&] { arm.FlushInput(); }); },
            "Drain any currently buffered input bytes from the serial stream.");
}

// The exchanges of these queries hold the interpreter lock on purpose.
void BindQueries(OsmiraClass& cls) {
    cls.def(
           "device_wakeup",
           [](Osmira& arm) {
               const Devices::DeviceInfo info = Wakeup(arm);
               return InfoTuple(info, py::cast(info.device_id_ext.bytes()));
           },
           "Wakeup the device and return the device info as a tuple.")
        .def(
            "device_wakeup_dict",
            [](Osmira& arm) {
                const Devices::DeviceInfo info = Wakeup(arm);
                py::dict result;
                result["device_id"] = info.device_id;
                result["device_model_number"] = info.device_model_number;
                result["hardware_version"] = info.hardware_version;
                result["firmware_version"] = info.firmware_version;
                result["device_id_ext"] = StandardUuid(info.device_id_ext);
                return result;
            },
            "Wakeup the device and return the device info as a dict.")
        .def(
            "get_firmware_version",
            [](Osmira& arm) { return StandardUuid(DeviceCallHoldingLock(arm, [&] { return arm.GetFirmwareVersion(); })); },
            "Receive the firmware version of the device.")
        .def(
            "get_device_id",
            [](Osmira& arm) { return StandardUuid(DeviceCallHoldingLock(arm, [&] { return arm.GetDeviceId(); })); },
            "Receive the UUID of the device.")
        .def(
            "get_motor_currents",
            [](Osmira& arm) { return FixedFloats<3>{DeviceCallHoldingLock(arm, [&] { return arm.GetMotorCurrents(); })}; },
            "Receive the motor currents of the device.")
        .def(
            "get_device_orientation",
            [](Osmira& arm) {
                return FixedFloats<4>{DeviceCallHoldingLock(arm, [&] { return arm.GetDeviceOrientation(); })};
            },
            "Receive the orientation of the base of the device.")
        .def(
            "get_power_status", [](Osmira& arm) { return DeviceCallHoldingLock(arm, [&] { return arm.GetPowerStatus(); }); },
            kPowerStatusDoc)
        .def(
            "get_temperature",
            [](Osmira& arm) { return F32{DeviceCallHoldingLock(arm, [&] { return arm.GetTemperature(); })}; },
            "Receive the temperature of the device.")
        .def(
            "deactivate_orientation_sensor",
            [](Osmira& arm) {
                const LineCall line(arm);
                WithoutGil([] { HardwareAPI::ArmModel::Instance().ResetBaseOrientation(); });
            },
            kPowerStatusDoc);
}

void BindControlLoop(OsmiraClass& cls) {
    DefExchange<&Osmira::ExchangeForce>(cls, "end_effector_force", "force request vector",
                                                           "Send forces to the device and receive device states");
    cls.def(
        "get_end_effector_position",
        [](Osmira& arm, bool onboard) {
            Vector3 position{}, velocity{};
            DeviceCall(arm, [&] {
                if (onboard) {
                    arm.ExchangeForce({0.0f, 0.0f, 0.0f}, position, velocity);
                } else {
                    position = Devices::ComputeEndEffectorPosition(arm);  // the velocity is not computed
                }
            });
            return Pair(position, velocity);
        },
        py::arg("onboard") = true, "Get the end-effector position and velocity");
}

void BindCalibration(OsmiraClass& cls) {
    using HardwareAPI::ArmModel;
    cls.def(
           "adjust_angles",
           [](Osmira& arm, const FloatList& angles) {
               const Vector3 values = FirstThree(angles, "angles");
               DeviceCall(arm, [&] { Devices::AdjustAngles(arm, values); });
           },
           py::arg("angles") = Zeros(), "Adjust the angles of the device")
        .def(
            "adjust_lengths",
            [](Osmira& arm, F32 inner_arm_1, F32 outer_arm_1, F32 inner_arm_2, F32 outer_arm_2, F32 extension) {
                const LineCall line(arm);
                WithoutGil([&] {
                    HardwareAPI::ConfigureArmModel(inner_arm_1, outer_arm_1, inner_arm_2, outer_arm_2, extension);
                });
            },
            ArgF32("inner_arm_1", HardwareAPI::kDefaultInnerArm1),
            ArgF32("outer_arm_1", HardwareAPI::kDefaultOuterArm1),
            ArgF32("inner_arm_2", HardwareAPI::kDefaultInnerArm2),
            ArgF32("outer_arm_2", HardwareAPI::kDefaultOuterArm2),
            ArgF32("extension", HardwareAPI::kDefaultExtension), "Adjust the lengths of the linkages")
        .def(
            "adjust_gear_ratios",
            [](Osmira& arm, F32 head, F32 inner, F32 outer) {
                const LineCall line(arm);
                WithoutGil([&] { ArmModel::Instance().SetGearCoefficients({head, inner, outer}); });
            },
            py::arg("head_gear_ratio_coeff") = F32{1.0f}, py::arg("inner_arm_gear_ratio_coeff") = F32{1.0f},
            py::arg("outer_arm_gear_ratio_coeff") = F32{1.0f}, "Adjust the gear ratios");
}

void BindCurrentExchanges(OsmiraClass& cls) {
    DefExchange<&Osmira::ExchangeJointTorques>(
        cls, "joint_torques", "joint torque request vector",
        "Send joint torques to the device and receive the joint states");
    DefExchange<&Osmira::ExchangePosition>(cls, "end_effector_position", "position request vector",
                                                              "Send end-effector position and receive device states");
    DefExchange<&Osmira::ExchangeAngles>(
        cls, "joint_angles", "joint angle request vector",
        "Send joint angles to the device and receive the joint states");
}

void BindOlderMethods(OsmiraClass& cls) {
    cls.def(
           "SendDeviceWakeup",
           [](Osmira& arm) {
               WarnDeprecated("SendDeviceWakeup is deprecated, use device_wakeup instead");
               DeviceCall(arm, [&] { arm.SendDeviceWakeup(); });
           },
           "[DEPRECATED] Send a device wakeup command")
        .def(
            "ReceiveDeviceInfo",
            [](Osmira& arm) {
                const Devices::DeviceInfo info = DeviceCall(arm, [&] { return arm.ReceiveDeviceInfo(); });
                return InfoTuple(info, py::cast(info.device_id_ext));
            },
            kReceiveDeviceInfoDoc);
    DefSend<&Osmira::SendForce>(cls, "SendForce", "force", kSendForceDoc, kSendForceWarning);
    cls.def(
        "SendForce",
        [](Osmira& arm, F32 x, F32 y, F32 z) {
            WarnDeprecated(kSendForceWarning);
            DeviceCall(arm, [&] { arm.SendForce({x, y, z}); });
        },
        py::arg("ForceX") = 0, py::arg("ForceY") = 0, py::arg("ForceZ") = 0, kSendForceDoc);
    DefReceive<&Osmira::ReceiveState>(cls, "ReceiveState", "position", "velocity",
                                      "[Deprecated] receive state and return position and velocity",
                                      "ReceiveState is deprecated, use end_effector instead");
    DefReceive<&Osmira::ReceiveJointState>(
        cls, "ReceiveJointState", "joint_position", "joint_velocity",
        "[Deprecated] receive joint state and return position and velocity in the joint reference frame",
        "ReceiveJointState is deprecated, use joint_torques instead");
    DefSend<&Osmira::SendJointTorques>(cls, "SendJointTorques", "joint_torque", "[Deprecated] send joint torque",
                                       "SendJointTorques is deprecated, use joint_torques instead");
    DefSend<&Osmira::SendAngle>(cls, "SendAngle", "angle", "Send angles to the device", nullptr);
    cls.def("RequestCurrent", [](Osmira& arm) { DeviceCall(arm, [&] { arm.RequestCurrent(); }); }, "request current")
        .def(
            "ReceiveCurrent",
            [](Osmira& arm, FloatList current) {
                Vector3 values = FirstThree(current, "current");
                if (DeviceCall(arm, [&] { return arm.ReceiveCurrent(values); })) StoreFirstThree(current, values);
                return current;
            },
            py::arg("current") = Zeros(), "receive current and return current");
    DefSend<&Osmira::SendPosition>(cls, "SendPosition", "position", "[Deprecated] Send Position to the device",
                                   "SendPosition is deprecated, use end_effector_position instead");
}

void BindOutcome(OsmiraClass& cls) {
    cls.def_property_readonly(
        "last_call_ok", [](const Osmira& arm) { return arm.last_call_ok; },
        "True when the last call on this arm got its own complete reply (for a call that only sends: when its "
        "frame was written).");
}

void BindLifetime(OsmiraClass& cls) {
    constexpr const char* kCloseDoc =
        "Command zero force if the last command could leave the arm pushing (a force or torque that is not zero, "
        "a position or angle target, raw bytes), then close the port. Later calls fail at once.";
    cls.def("close", [](Osmira& arm) { DeviceCall(arm, [&] { arm.Close(); }); }, kCloseDoc)
        .def("__enter__", [](Osmira& arm) -> Osmira& { return arm; }, py::return_value_policy::reference_internal,
             "The arm itself.")
        .def(
            "__exit__",
            [](Osmira& arm, const py::object&, const py::object&, const py::object&) {
                DeviceCall(arm, [&] { arm.Close(); });
            },
            py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"), kCloseDoc);
}

}  // namespace

void bind_Osmira(py::module_& m) {
    OsmiraClass cls(m, "Osmira", "Osmira Device Class");
    BindRawAccess(cls);
    BindQueries(cls);
    BindControlLoop(cls);
    BindCalibration(cls);
    BindCurrentExchanges(cls);
    BindOlderMethods(cls);
    BindOutcome(cls);
    BindLifetime(cls);
    cls.def("__repr__", [](const py::object& self) { return DeviceRepr(self, self.cast<const Osmira&>()); });
}

}  // namespace tavix_bindings
