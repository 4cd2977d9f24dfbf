// The host-side object for one hand-held tool on one serial stream.
//
// Commands (one write each, none waits for an answer):
//   SendDeviceWakeup 0x0A; RequestStatus 0xDA;
//   SendHandleState  0xDB, device_id (u16 LE), data_length (u8), data_length user-data bytes.
// Messages (read on demand by Receive, which skips notification frames):
//   0xD0 handle information, 6 bytes: tool_data_remaining (byte 0), device_id (u16 LE,
//        bytes 1-2), device_model_number (3), hardware_version (4), firmware_version (5);
//   0xDA status, 21 fixed bytes (device_id u16, error_flag, hall_effect_sensor_level,
//        quaternion 4 x f32, user_data_length) then user_data_length bytes;
//   0xDF error response, 3 bytes: device_id (u16), error_code.
// Each message goes to two callbacks, the argument form first, then the record form.
//
// The stream is not owned and must outlive the handle. Threads: one at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "TavixHardwareAPI/Device.h"

namespace Tavix::HardwareAPI::Devices {

struct HandleInfoRecord {
    static constexpr size_t kWireSize = 6;

    uint16_t device_id;
    uint8_t tool_data_remaining;
    uint8_t device_model_number;
    uint8_t hardware_version;
    uint8_t firmware_version;

    // Decodes the kWireSize payload bytes of an information message from `wire` (not owned).
    static HandleInfoRecord FromWire(const char* wire);
};

struct HandleStatusRecord {
    uint16_t device_id;
    float quaternion[4];
    uint8_t error_flag;
    uint8_t hall_effect_sensor_level;
    uint8_t user_data_length;
    uint8_t user_data[255];
};

struct HandleErrorRecord {
    uint16_t device_id;
    uint8_t error_code;
};

class Handle : public Device {
public:
    // read_timeout 5.0 seconds.
    explicit Handle(IO::SerialStream& stream);
    // Virtual so that a subclass (a Python-overridable one among them) is destroyed whole
    // through a Handle pointer.
    virtual ~Handle() = default;

    void SendDeviceWakeup();
    void RequestStatus();
    // Copies `data_length` bytes from `user_data` (not read when data_length is 0).
    void SendHandleState(uint16_t device_id, uint8_t data_length, const uint8_t* user_data);
    // Reads one message and dispatches it to the callbacks. Returns the number of payload
    // bytes read, or -1 when no handle message header came (timeout, failed stream, or a
    // code that is not a handle message). Exceptions from callbacks propagate unchanged.
    int Receive();

    virtual void OnReceiveHandleInfoRecord(const HandleInfoRecord& record);
    virtual void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
                                     uint8_t hardware_version, uint8_t firmware_version);
    virtual void OnReceiveHandleStatusRecord(const HandleStatusRecord& record);
    // `quaternion` points to four floats, `user_data` to `user_data_length` bytes; both are
    // valid only during the call.
    virtual void OnReceiveHandleStatusMessage(uint16_t device_id, float* quaternion, uint8_t error_flag,
                                              uint8_t hall_effect_sensor_level, uint8_t user_data_length,
                                              uint8_t* user_data);
    virtual void OnReceiveHandleErrorRecord(const HandleErrorRecord& record);
    virtual void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code);
};

}  // namespace Tavix::HardwareAPI::Devices
