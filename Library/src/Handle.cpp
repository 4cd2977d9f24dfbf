#include "TavixHardwareAPI/Handle.h"

#include <cstring>

#include "TavixHardwareAPI/Cancellation.h"

namespace Tavix::HardwareAPI::Devices {

namespace {
constexpr uint8_t kWakeup = 0x0A;
constexpr uint8_t kStatusRequest = 0xDA;
constexpr uint8_t kHandleState = 0xDB;

constexpr uint8_t kInfoMessage = 0xD0;
constexpr uint8_t kStatusMessage = 0xDA;
constexpr uint8_t kErrorMessage = 0xDF;

constexpr size_t kInfoLength = HandleInfoRecord::kWireSize;
constexpr size_t kStatusFixedLength = 21;
constexpr size_t kErrorLength = 3;
constexpr int kUserDataLengthAt = 20;
constexpr size_t kHandleStateHeader = 4;

uint8_t U8(const char* p) { return static_cast<uint8_t>(*p); }
uint16_t U16(const char* p) { return static_cast<uint16_t>(U8(p) | U8(p + 1) << 8); }

// The callbacks run whatever the payload read returned: after a timeout the fields come
// from what read_buffer last held, and the count returned tells the caller so. An interrupted
// read calls nothing: the call is being abandoned, and the rest of the message is owed.

int ReceiveInfo(Handle& handle) {
    const int read = handle.ReadPayload(kInfoLength);
    if (Cancelled()) return read;
    const HandleInfoRecord record = HandleInfoRecord::FromWire(handle.read_buffer.get());
    handle.OnReceiveHandleInfo(record.tool_data_remaining, record.device_id, record.device_model_number,
                               record.hardware_version, record.firmware_version);
    handle.OnReceiveHandleInfoRecord(record);
    return read;
}

int ReceiveStatus(Handle& handle) {
    const int fixed_read = handle.ReadPayload(kStatusFixedLength, kUserDataLengthAt);
    if (Cancelled()) return fixed_read;
    const char* payload = handle.read_buffer.get();
    HandleStatusRecord record{};
    record.device_id = U16(payload);
    record.error_flag = U8(payload + 2);
    record.hall_effect_sensor_level = U8(payload + 3);
    std::memcpy(record.quaternion, payload + 4, sizeof record.quaternion);
    record.user_data_length = U8(payload + kUserDataLengthAt);
    // The user data lands at the start of read_buffer, over the fixed part already copied.
    const int data_read = record.user_data_length > 0 ? handle.ReadPayload(record.user_data_length) : 0;
    if (Cancelled()) return fixed_read;
    std::memcpy(record.user_data, payload, record.user_data_length);
    handle.OnReceiveHandleStatusMessage(record.device_id, record.quaternion, record.error_flag,
                                        record.hall_effect_sensor_level, record.user_data_length, record.user_data);
    handle.OnReceiveHandleStatusRecord(record);
    return fixed_read + data_read;
}

int ReceiveError(Handle& handle) {
    const int read = handle.ReadPayload(kErrorLength);
    if (Cancelled()) return read;
    const char* payload = handle.read_buffer.get();
    HandleErrorRecord record{};
    record.device_id = U16(payload);
    record.error_code = U8(payload + 2);
    handle.OnReceiveHandleErrorResponse(record.device_id, record.error_code);
    handle.OnReceiveHandleErrorRecord(record);
    return read;
}
}  // namespace

HandleInfoRecord HandleInfoRecord::FromWire(const char* wire) {
    HandleInfoRecord record{};
    // tool_data_remaining first, then device_id: the order of the callback's arguments,
    // and every field has a byte of its own.
    record.tool_data_remaining = U8(wire);
    record.device_id = U16(wire + 1);
    record.device_model_number = U8(wire + 3);
    record.hardware_version = U8(wire + 4);
    record.firmware_version = U8(wire + 5);
    return record;
}

Handle::Handle(IO::SerialStream& stream) : Device(stream, kDefaultTimeout) {}

void Handle::SendDeviceWakeup() { SendCommand(kWakeup); }

void Handle::RequestStatus() { SendCommand(kStatusRequest); }

void Handle::SendHandleState(uint16_t device_id, uint8_t data_length, const uint8_t* user_data) {
    char* frame = write_buffer.get();
    frame[0] = static_cast<char>(kHandleState);
    frame[1] = static_cast<char>(device_id & 0xFF);
    frame[2] = static_cast<char>(device_id >> 8);
    frame[3] = static_cast<char>(data_length);
    if (data_length > 0) std::memcpy(frame + kHandleStateHeader, user_data, data_length);
    SendBytes(kHandleStateHeader + data_length);
}

int Handle::Receive() {
    if (SettleOwed() == Settle::Cancelled) return -1;
    // A message comes unasked: a header wait that is interrupted leaves nothing owed.
    switch (ReadHeaderCode()) {
        case kInfoMessage:
            return ReceiveInfo(*this);
        case kStatusMessage:
            return ReceiveStatus(*this);
        case kErrorMessage:
            return ReceiveError(*this);
        default:  // nothing came, or a message that is not the handle's: its payload stays in the stream
            return -1;
    }
}

void Handle::OnReceiveHandleInfoRecord(const HandleInfoRecord&) {}
void Handle::OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) {}
void Handle::OnReceiveHandleStatusRecord(const HandleStatusRecord&) {}
void Handle::OnReceiveHandleStatusMessage(uint16_t, float*, uint8_t, uint8_t, uint8_t, uint8_t*) {}
void Handle::OnReceiveHandleErrorRecord(const HandleErrorRecord&) {}
void Handle::OnReceiveHandleErrorResponse(uint16_t, uint8_t) {}

}  // namespace Tavix::HardwareAPI::Devices
