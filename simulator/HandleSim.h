// The hand-held tool's firmware.
//
// Requests: 0x0A wake-up; 0xDA status request; 0xDB handle state (device_id u16, length
// byte, that many bytes of user data; no answer).
// Answers:
//   0xD0 information, 6 bytes: tool_data_remaining 0 (byte 0), device_id u16 (bytes 1-2),
//        model, hardware and firmware versions (bytes 3-5);
//   0xDA status, unframed: device_id u16, error_flag 0, hall-effect level, quaternion as
//        4 floats, user-data length and the user data of the last handle-state command.
// Streamed on its own at the status rate, a framed status message: 0xDA, then the payload
// and its checksum ((0xDA + payload bytes) mod 256) escaped as in SLIP, then 0xC0. The
// 17-byte payload: frame counter u16 (0-1), error_flag (2), hall level in bits 0-4 and
// buttons in bits 5-7 (3), device_id's low byte (4), zeros (5-7), quaternion as 4 int16 in
// 1/32768 with components 1 and 2 negated (8-15), battery (16: volts = 3.0 + 0.005 x byte).
// Both status forms carry the same orientation, quaternion components in the order x, y, z, w.
//
// The stream and the request/answer messages share the line: the stream runs only while a
// host has the port open, keeps at most one unread frame waiting (it skips a frame while the
// host has anything unread), and falls silent for half a second after the port is opened and
// after every request, so that answers are not mixed with frames: a program that opens the
// port and talks to the handle at once reads only answers.
#pragma once

#include <array>
#include <cstdint>

#include "SimDevice.h"

namespace tavix_devsim {

constexpr uint8_t kHandleModelNumber = 5;
constexpr uint8_t kHandleHardwareVersion = 2;
constexpr uint8_t kHandleFirmwareVersion = 9;
constexpr size_t kFramedPayloadSize = 17;
// Header, every body byte escaped, end marker.
constexpr size_t kMaxFramedSize = 1 + 2 * (kFramedPayloadSize + 1) + 1;

// What the handle's sensors read `seconds` after start: a slow tumble, buttons pressed and
// released in overlapping rhythms, a trigger squeezed and let go every two seconds, and a
// battery running down.
struct HandleReadings {
    std::array<int16_t, 4> quaternion;  // x, y, z, w in 1/32768
    uint8_t buttons;                    // 0..7
    uint8_t hall_level;                 // 0..31
    uint8_t battery;                    // volts = 3.0 + 0.005 x battery
};
HandleReadings ReadingsAt(double seconds);

// Writes the framed form of `payload` to `out` (room for 2 x (n + 1) + 2 bytes); returns its length.
size_t EncodeFramedStatus(const uint8_t* payload, size_t n, uint8_t* out);

class HandleSim : public SimDevice {
public:
    // `status_hz` 0 turns the stream off.
    HandleSim(uint16_t device_id, double status_hz, Clock::time_point start);

    size_t RequestLength(const uint8_t* bytes, size_t n) const override;
    void OnRequest(const uint8_t* request, size_t n, Clock::time_point now, Line& line) override;
    Clock::time_point OnTick(Clock::time_point now, Line& line) override;
    void OnHostArrived(Clock::time_point now) override;

private:
    void AnswerInformation(Line& line, Clock::time_point now);
    void AnswerStatus(Line& line, Clock::time_point now);
    void StreamStatus(Line& line, Clock::time_point now);
    double Seconds(Clock::time_point now) const;

    uint16_t device_id;
    Clock::duration period;
    Clock::time_point started;
    Clock::time_point next_frame;
    Clock::time_point quiet_until;
    uint16_t frames = 0;
    uint8_t user_data_length = 0;
    std::array<uint8_t, 255> user_data{};
};

}  // namespace tavix_devsim
