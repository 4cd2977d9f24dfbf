// Finding devices: candidate ports from the names under /dev, then a timed probe of each.
//
// A probe is ProbePort (Probe.h): it opens the port, sends the one-byte wake-up 0x0A and
// classifies the device by the reply: an arm answers 0x0B with its 21-byte identity record
// whose model byte (offset 2) is 4; a handle answers 0xD0 (information) or 0xDA (status);
// a port held by another process is not listed. Each probe runs on a worker
// thread of its own; its answer counts only when it comes within the wait limit (3 s arm,
// 5 s handle), but the caller always waits for the probe to end, so no thread outlives a
// detect call and every probed port is closed again when it returns. Ports are probed one
// after another, never two at once.
//
// Errors: file-system errors of the scan (std::filesystem::filesystem_error) and failures
// to start a worker thread (std::system_error) propagate; device trouble only means "not
// listed" (diagnostics go to standard output and standard error).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace Tavix::HardwareAPI {

enum PortKind : int32_t { kPortTtyACM = 1, kPortTtyUSB = 2, kPortRfcomm = 3 };

struct PortCandidate {
    std::string path;  // canonical path of the device node
    int32_t kind;      // PortKind from the entry's name
};

// The kind an entry's name shows (the first of "ttyACM", "ttyUSB", "rfcomm" found anywhere in
// it), or 0 when it is not a serial port of ours.
int32_t PortKindOfName(std::string_view name);

// Lists the entries of `directory` (one level, listing order) whose names contain
// "ttyACM", "ttyUSB" or "rfcomm" (first marker wins), with canonical paths. An absent
// directory gives an empty list; other file-system errors throw.
std::vector<PortCandidate> ScanSerialPorts(const std::filesystem::path& directory);
// The same over "/dev".
std::vector<PortCandidate> ScanSerialPorts();

// Probes run on a worker thread; each returns non-zero when the port carries the device.
// `port_path` must be a NUL-terminated path. They never throw.
int ProbeOsmiraPort(const char* port_path);
int ProbeHandlePort(const char* port_path);

constexpr std::chrono::seconds kArmProbeLimit{3};
constexpr std::chrono::seconds kHandleProbeLimit{5};

// Runs `probe` on a new thread and answers whether it reported a device within `limit`.
// A late probe is still waited for (and its result discarded) before this returns. While it
// waits, the calling thread's cancellation check is asked about once a millisecond; when it
// answers true, the probe is told to stop (its own waits end at once), joined, and the answer
// is no. The detect functions then probe no further port.
bool TimedProbe(int (*probe)(const char*), const std::string& port_path, std::chrono::milliseconds limit);
// TimedProbe of ProbeHandlePort with the handle's 5-second limit.
bool CheckHandlePort(const char* port_path);

// Paths of the ports on which the device answers, in scan order.
std::vector<std::string> DetectOsmiras();          // ttyACM ports only
std::vector<std::string> DetectHandles();          // every candidate
std::vector<std::string> DetectWiredHandles();     // ttyUSB ports only
std::vector<std::string> DetectWirelessHandles();  // rfcomm ports only

}  // namespace Tavix::HardwareAPI
