// What answers on one port: a single timed probe and its verdict.
//
// The probe opens a SerialStream of its own on the port (for this process's exclusive use,
// see Line), sends the one-byte wake-up 0x0A and reads the first reply through a device's
// framing (notifications skipped), then closes the port again. The reply header tells the
// kind: 0x0B with a whole 21-byte identity record of model 4 is an arm; 0xD0 (information)
// or 0xDA (status, framed or answered) is a handle; any other answer, a handle's error
// response among them, is a device of some other kind. The detect functions (Discovery.h)
// are built on it.
//
// Its waits busy-poll for the first millisecond only, then sleep until input comes, so a
// silent port costs its time and little processor; the calling thread's cancellation check
// (Cancellation.h) ends them at once.
//
// Threads: a probe uses only its own stream and device; probes of different ports may run
// side by side. Never throws for device trouble; it prints the device's own error lines.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "TavixHardwareAPI/Osmira.h"

namespace Tavix::HardwareAPI {

enum class ProbeKind { Arm, Handle, Unknown, Silent, Unopenable, Busy };

// The name a verdict's kind has in text: "arm", "handle", "unknown", "silent", "unopenable",
// "busy".
const char* KindName(ProbeKind kind);

// The link a port's name shows: "wireless" for rfcomm names (the scan's name rules,
// PortKindOfName: a ttyACM or ttyUSB marker comes first), "wired" for any other name.
const char* LinkOfPort(const std::string& path);

struct PortVerdict {
    static constexpr size_t kAnswerSample = 16;

    ProbeKind kind = ProbeKind::Silent;
    std::string link;
    // Arm: the whole identity record. Handle: the device id of its information or status
    // message, and the versions of an information message. Otherwise all zero.
    Devices::DeviceInfo identity;
    bool has_identity = false;  // an arm, or a handle whose message carried its device id
    bool has_versions = false;  // model and versions are the device's own
    std::string reason;         // one line: why the port is not an arm or a handle, or ""
    int open_errno = 0;         // the errno of the failed open (Unopenable, Busy)
    std::array<uint8_t, kAnswerSample> answer{};  // first bytes of a foreign answer (Unknown)
    size_t answer_length = 0;
};

// Probes `path`, waiting at most `timeout` for the answer's header and as long again for the
// rest of it. An interrupted probe answers Silent with the reason "interrupted".
PortVerdict ProbePort(const std::string& path, std::chrono::milliseconds timeout);

}  // namespace Tavix::HardwareAPI
