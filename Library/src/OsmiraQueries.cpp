// The arm's one-shot information queries and its unframed send.
#include "TavixHardwareAPI/Osmira.h"

namespace Tavix::HardwareAPI::Devices {

namespace {
constexpr uint8_t kWakeup = 0x0A;
constexpr uint8_t kDeviceInfo = 0x0B;
constexpr uint8_t kIdentifier = 0x0D;
constexpr uint8_t kDeviceIdSelector = 0xD1;
constexpr uint8_t kFirmwareSelector = 0xD2;
constexpr uint8_t kCurrents = 0xAB;
constexpr uint8_t kOrientation = 0x0C;
constexpr uint8_t kPowerStatus = 0xAC;
constexpr uint8_t kTemperature = 0xAA;
// An identifier reply: its length byte (always 16) and the identifier.
constexpr size_t kIdentifierReplySize = 1 + UUID::kSize;
}  // namespace

DeviceInfo DeviceInfo::FromWire(const char* wire) {
    const auto byte = [wire](size_t i) { return static_cast<uint8_t>(wire[i]); };
    DeviceInfo info;
    info.device_id = static_cast<uint16_t>(byte(0) | byte(1) << 8);
    info.device_model_number = byte(2);
    info.hardware_version = byte(3);
    info.firmware_version = byte(4);
    info.device_id_ext = UUID(wire + 5);
    return info;
}

void Osmira::SendDeviceWakeup() { SendAwaited(kWakeup, nullptr, 0, DeviceInfo::kWireSize); }

DeviceInfo Osmira::ReceiveDeviceInfo() {
    if (!ReceiveAwaited(kDeviceInfo, DeviceInfo::kWireSize)) return DeviceInfo{};
    return DeviceInfo::FromWire(read_buffer.get());
}

void Osmira::RequestCurrent() { SendAwaited(kCurrents, nullptr, 0, sizeof(Vector3)); }

bool Osmira::ReceiveCurrent(Vector3& current) {
    if (!ReceiveAwaited(kCurrents, sizeof(Vector3))) return false;
    current = PayloadFloats<3>(0);
    return true;
}

bool Osmira::Query(uint8_t code, size_t length) {
    Settle settled{};
    if (!BeginRequest(settled)) return Finish(false);
    SendCommand(code);
    return Finish(ReplyDue(settled, 1, length) && ReadReply(code, length));
}

bool Osmira::IdentifierExchange(uint8_t selector) {
    Settle settled{};
    if (!BeginRequest(settled)) return false;
    write_buffer[0] = static_cast<char>(kIdentifier);
    write_buffer[1] = static_cast<char>(selector);
    SendBytes(2);
    if (!ReplyDue(settled, 2, kIdentifierReplySize)) return false;
    // The reply echoes both request bytes as two header codes; both are read whatever the
    // first was. When the first did not come, the whole reply stays owed, and a second code
    // that comes meanwhile puts the line out of step.
    const uint8_t first = ReadReplyHeader(kIdentifierReplySize, 0, 2);
    const uint8_t second = first == 0 ? ReadHeaderCode() : ReadReplyHeader(kIdentifierReplySize);
    if (first != kIdentifier || second != selector) {
        if (first != 0 && second != 0)
            ReportWrongCode(first != kIdentifier ? first : second, first != kIdentifier ? kIdentifier : selector);
        if (second != 0) Ledger().Clear();  // what the line owes can no longer be known
        ReadBytes(kBufferSize);
        return false;
    }
    return ReadPayload(kIdentifierReplySize) == static_cast<int>(kIdentifierReplySize) &&
           static_cast<uint8_t>(read_buffer[0]) == UUID::kSize;
}

UUID Osmira::ReadIdentifier(uint8_t selector) {
    return Finish(IdentifierExchange(selector)) ? UUID(read_buffer.get() + 1) : UUID();
}

UUID Osmira::GetDeviceId() { return ReadIdentifier(kDeviceIdSelector); }
UUID Osmira::GetFirmwareVersion() { return ReadIdentifier(kFirmwareSelector); }

Vector3 Osmira::GetMotorCurrents() { return Query(kCurrents, sizeof(Vector3)) ? PayloadFloats<3>(0) : Vector3{}; }

Quaternion Osmira::GetDeviceOrientation() {
    return Query(kOrientation, sizeof(Quaternion)) ? PayloadFloats<4>(0) : Quaternion{};
}

bool Osmira::GetPowerStatus() { return Query(kPowerStatus, 1) && (read_buffer[0] & 0x01) != 0; }

float Osmira::GetTemperature() { return Query(kTemperature, sizeof(float)) ? PayloadFloats<1>(0)[0] : 0.0f; }

bool Osmira::SendRaw(const char* data, size_t n) {
    if (n == 0) return Finish(false);
    stream->Write(data, n);
    return Finish(stream->rdstate() == std::ios_base::goodbit);
}

}  // namespace Tavix::HardwareAPI::Devices
