#include "TavixHardwareAPI/Probe.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "TavixHardwareAPI/Cancellation.h"
#include "TavixHardwareAPI/Discovery.h"
#include "TavixHardwareAPI/Handle.h"
#include "TavixHardwareAPI/HoldraStatus.h"
#include "TavixHardwareAPI/SerialStream.h"

namespace Tavix::HardwareAPI {

namespace {
constexpr uint8_t kWakeup = 0x0A;
constexpr uint8_t kArmIdentity = 0x0B;
constexpr uint8_t kHandleInfo = 0xD0;
constexpr uint8_t kHandleStatus = 0xDA;
constexpr uint8_t kArmModel = 4;
// How long the rest of a foreign answer is given to arrive: it is only shown, never decoded.
constexpr float kForeignSampleSeconds = 0.05f;
// The fewest bytes that follow a status message's header code (a framed one's: 18 escaped
// bytes and the end marker; an answered one has more).
constexpr size_t kShortestStatusBody = 19;
// A probe's waits spin this long, for a quick answer's sake, before they sleep.
constexpr std::chrono::microseconds kProbeSpin{1000};

float SecondsOf(std::chrono::milliseconds timeout) { return static_cast<float>(timeout.count()) / 1000.0f; }

PortVerdict Refused(PortVerdict verdict, int err) {
    verdict.open_errno = err;
    if (err == EBUSY) {
        verdict.kind = ProbeKind::Busy;
        verdict.reason = "held by another program";
    } else {
        verdict.kind = ProbeKind::Unopenable;
        // ErrorText widened the message byte by byte, and is safe from any thread.
        const std::wstring text = ErrorText(err);
        verdict.reason = "cannot open: ";
        for (const wchar_t c : text) verdict.reason.push_back(static_cast<char>(c));
    }
    return verdict;
}

// A device of another kind: the reply so far (`code` and the `got` bytes of read_buffer),
// topped up with what is waiting or follows it shortly, up to the sample's size.
void Foreign(PortVerdict& verdict, Devices::Device& device, uint8_t code, size_t got) {
    verdict.kind = ProbeKind::Unknown;
    verdict.reason = "answered as something else";
    verdict.answer[0] = code;
    const size_t room = PortVerdict::kAnswerSample - 1;
    if (got < room) got += device.ReadWithTimeout(device.read_buffer.get() + got, room - got, kForeignSampleSeconds);
    got = std::min(got, room);
    std::memcpy(verdict.answer.data() + 1, device.read_buffer.get(), got);
    verdict.answer_length = got + 1;
}

void ReadArm(PortVerdict& verdict, Devices::Device& device) {
    const size_t size = Devices::DeviceInfo::kWireSize;
    if (device.ReadBytes(size) != static_cast<int>(size)) return Foreign(verdict, device, kArmIdentity, 0);
    const Devices::DeviceInfo identity = Devices::DeviceInfo::FromWire(device.read_buffer.get());
    if (identity.device_model_number != kArmModel) return Foreign(verdict, device, kArmIdentity, size);
    verdict.kind = ProbeKind::Arm;
    verdict.identity = identity;
    verdict.has_identity = verdict.has_versions = true;
}

void ReadHandleInfo(PortVerdict& verdict, Devices::Device& device) {
    verdict.kind = ProbeKind::Handle;
    const size_t size = Devices::HandleInfoRecord::kWireSize;
    if (device.ReadBytes(size) != static_cast<int>(size)) return;
    const Devices::HandleInfoRecord info = Devices::HandleInfoRecord::FromWire(device.read_buffer.get());
    verdict.identity.device_id = info.device_id;
    verdict.identity.device_model_number = info.device_model_number;
    verdict.identity.hardware_version = info.hardware_version;
    verdict.identity.firmware_version = info.firmware_version;
    verdict.has_identity = verdict.has_versions = true;
}

// The handle writes a status frame at once, but the line may hand it over in parts, and the
// frame is decoded from what is waiting: its shortest form is awaited (and put back) first.
void AwaitStatusBody(Devices::Device& device) {
    char* const body = device.read_buffer.get();
    device.stream->Unread(body, device.ReadWithTimeout(body, kShortestStatusBody, device.read_timeout));
}

// A handle streams its status by itself, so a frame may come before the answer to the
// wake-up. That answer, with the versions, is waited for too: left on the line, it would
// stand before the frames that the port's next user reads. Half the probe's timeout at most,
// so that a handle that never answers is still told within the detect functions' limits.
void ReadHandleStatus(PortVerdict& verdict, Devices::Device& device) {
    verdict.kind = ProbeKind::Handle;
    device.read_timeout /= 2;
    AwaitStatusBody(device);
    const int device_id = Devices::StatusDeviceId(device);
    if (device_id >= 0) {
        verdict.identity.device_id = static_cast<uint16_t>(device_id);
        verdict.has_identity = true;
    }
    if (device.ReadHeaderCode() == kHandleInfo) ReadHandleInfo(verdict, device);
}

// Wakes the device on the open `stream` and classifies its first reply.
void Classify(PortVerdict& verdict, IO::SerialStream& stream, std::chrono::milliseconds timeout) {
    Devices::Device device(stream, SecondsOf(timeout));
    device.spin_limit = kProbeSpin;
    device.SendCommand(kWakeup);
    const uint8_t code = device.ReadHeaderCode();
    if (Cancelled()) {
        verdict.reason = "interrupted";
        return;
    }
    switch (code) {
        case 0: {
            char reason[64];
            std::snprintf(reason, sizeof reason, "no answer within %g s", static_cast<double>(SecondsOf(timeout)));
            verdict.reason = reason;
            return;
        }
        case kArmIdentity:
            return ReadArm(verdict, device);
        case kHandleInfo:
            return ReadHandleInfo(verdict, device);
        case kHandleStatus:
            return ReadHandleStatus(verdict, device);
        default:
            return Foreign(verdict, device, code, 0);
    }
}
}  // namespace

const char* KindName(ProbeKind kind) {
    switch (kind) {
        case ProbeKind::Arm: return "arm";
        case ProbeKind::Handle: return "handle";
        case ProbeKind::Unknown: return "unknown";
        case ProbeKind::Silent: return "silent";
        case ProbeKind::Unopenable: return "unopenable";
        case ProbeKind::Busy: return "busy";
    }
    return "unknown";
}

const char* LinkOfPort(const std::string& path) {
    const bool rfcomm = PortKindOfName(std::filesystem::path(path).filename().native()) == kPortRfcomm;
    return rfcomm ? "wireless" : "wired";
}

PortVerdict ProbePort(const std::string& path, std::chrono::milliseconds timeout) {
    // A zero wait would mean none at all to the device's reads.
    timeout = std::max(timeout, std::chrono::milliseconds(1));
    PortVerdict verdict;
    verdict.link = LinkOfPort(path);
    IO::SerialStream stream(path.c_str(), false);
    if (stream.Open() != 1) return Refused(std::move(verdict), stream.OpenError() != 0 ? stream.OpenError() : EIO);
    Classify(verdict, stream, timeout);
    stream.Close();
    return verdict;
}

}  // namespace Tavix::HardwareAPI
