#include "bindings.h"

#include <pybind11/stl.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "TavixHardwareAPI/Discovery.h"
#include "TavixHardwareAPI/Probe.h"

namespace tavix_bindings {

namespace {
// The identifier in the text form of Python's uuid.UUID: hex digits grouped 8-4-4-4-12.
std::string UuidText(const HardwareAPI::UUID& id) {
    std::string text = id.ToHex();
    for (const size_t at : {8, 13, 18, 23}) text.insert(at, 1, '-');
    return text;
}

py::object IdentityOf(const HardwareAPI::PortVerdict& verdict) {
    if (!verdict.has_identity) return py::none();
    const HardwareAPI::Devices::DeviceInfo& info = verdict.identity;
    py::dict identity;
    identity["device_id"] = info.device_id;
    if (verdict.has_versions) {
        identity["model"] = info.device_model_number;
        identity["hardware_version"] = info.hardware_version;
        identity["firmware_version"] = info.firmware_version;
    }
    if (verdict.kind == HardwareAPI::ProbeKind::Arm) identity["uuid"] = UuidText(info.device_id_ext);
    return std::move(identity);
}

py::dict VerdictDict(const std::string& path, const HardwareAPI::PortVerdict& verdict) {
    py::dict out;
    out["port"] = path;
    out["kind"] = HardwareAPI::KindName(verdict.kind);
    out["link"] = verdict.link;
    out["identity"] = IdentityOf(verdict);
    out["reason"] = verdict.reason;
    out["errno"] = verdict.open_errno;
    out["answer"] = py::bytes(reinterpret_cast<const char*>(verdict.answer.data()), verdict.answer_length);
    return out;
}

// The longest wait a probe takes: a day; longer ones are refused with the rest.
constexpr double kLongestProbe = 86400.0;

// Probes with the interpreter lock released, so that probes of several ports can run side
// by side on Python threads; on the main thread a signal handler that raises ends it at once.
py::dict ProbePort(const std::string& path, F32 seconds) {
    const double timeout = seconds;
    if (!(timeout > 0 && timeout <= kLongestProbe))
        throw py::value_error("timeout: expected seconds above 0 and at most a day, got " + py::repr(py::float_(timeout)).cast<std::string>());
    const auto limit = std::chrono::milliseconds(static_cast<long long>(std::ceil(timeout * 1000.0)));
    const HardwareAPI::PortVerdict verdict = DeviceCall([&] { return HardwareAPI::ProbePort(path, limit); });
    return VerdictDict(path, verdict);
}

std::vector<std::pair<std::string, int>> ScanSerialPorts() {
    std::vector<std::pair<std::string, int>> ports;
    for (const HardwareAPI::PortCandidate& candidate : HardwareAPI::ScanSerialPorts())
        ports.emplace_back(candidate.path, candidate.kind);
    return ports;
}
}  // namespace

void bind_Probe(py::module_& m) {
    m.def("probe_port", &ProbePort, py::arg("path"), py::arg("timeout"),
          "wake the device on one port and tell what answers: a dict with port, kind (arm, handle, unknown, "
          "silent, unopenable, busy), link, identity, reason, errno and answer");
    m.def("scan_serial_ports", &ScanSerialPorts,
          "the candidate serial ports under /dev as (path, kind) in listing order: kind 1 ttyACM, 2 ttyUSB, 3 rfcomm");
    m.def("port_kind_of_name", [](const std::string& name) { return HardwareAPI::PortKindOfName(name); },
          py::arg("name"), "the kind a port's name shows (1 ttyACM, 2 ttyUSB, 3 rfcomm), 0 for none");
}

}  // namespace tavix_bindings
