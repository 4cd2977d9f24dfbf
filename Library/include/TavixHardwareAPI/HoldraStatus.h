// The handle's framed status snapshot: one status frame that the handle has already sent,
// found in the stream, checked and decoded. Nothing is sent and no callback is called.
//
// Frame on the wire: 0xDA, then the body escaped byte by byte (0xC0 as DB DC, 0xDB as DB DD),
// then the end marker 0xC0. The body is the payload followed by a checksum byte: the sum of
// 0xDA and every payload byte, modulo 256. Payload fields used: byte 2 error_flag; byte 3
// hall_effect_sensor_level (bits 0-4) and buttons (bits 5-7); byte 4 device_id; bytes 8-15
// quaternion as four int16 LE in units of 1/32768, components 1 and 2 with their sign
// changed; byte 16 battery level as 3.0 + 0.005 x byte volts.
//
// The bytes read while searching (skipped messages, rejected frames) are consumed. A frame
// that is decoded leaves whatever follows it in the stream.
//
// Threads: uses the device and its stream; one thread at a time.
#pragma once

#include <cstdint>
#include <ctime>

#include "TavixHardwareAPI/Device.h"

namespace Tavix::HardwareAPI::Devices {

struct HoldraStatus {
    uint8_t device_id = 0;
    float quaternion[4] = {};
    // The frame's own error flag, or one of the failure codes below with every other field 0.
    uint8_t error_flag = 0;
    uint8_t hall_effect_sensor_level = 0;
    uint8_t buttons = 0;
    float battery_level = 0.0f;  // volts
};

// Failure codes carried in error_flag (a frame may carry the same values of its own).
constexpr uint8_t kHoldraNoData = 99;       // fewer than 19 bytes came during the wait
constexpr uint8_t kHoldraNoFrame = 3;       // too few bytes left for a frame, or 101 foreign header codes
constexpr uint8_t kHoldraHeaderFailed = 2;  // ReadHeaderCode gave 0 (timeout, failed stream, a 0x00 byte)

// Whole-second wall clock, the signature of time(); tests pass a scripted one.
using WallClock = std::time_t (*)(std::time_t*);

// Waits, polling without pause, until at least 19 bytes are waiting; gives up with
// kHoldraNoData once `clock` has moved on by more than one second (so after more than one and
// at most two seconds with time()). Then reads frames until one has a sound checksum and a
// body of at least 18 bytes; rejected frames are dropped silently and the search goes on while
// 19 bytes or more are waiting. Each header read waits at most device.read_timeout.
// Never throws; prints only the device's own error lines.
HoldraStatus GetHoldraStatus(Device& device, WallClock clock = &std::time);

// The device id of a status message whose header code 0xDA was just read, from the bytes
// already waiting (up to a framed status's end marker): payload byte 4 of a framed status
// with a sound checksum, else the first two bytes (u16 LE) of an answered status; -1 when
// fewer than two bytes came. Nothing is waited for.
int StatusDeviceId(Device& device);

}  // namespace Tavix::HardwareAPI::Devices
