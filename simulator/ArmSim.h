// The arm's firmware: identity and query answers plus the four state exchanges, all served
// from an ArmPhysics body that moves in real time between requests.
//
// Requests and answers (little-endian, binary32 floats):
//   0x0A wake-up              -> 0x0B identity: device_id u16, model 4, hardware, firmware,
//                                 16-byte device identifier
//   0x0D 0xD1 / 0x0D 0xD2     -> 0x0D, selector, length 16, 16-byte device / firmware identifier
//   0xAB motor currents       -> 0xAB, 3 floats (amperes, from the joint torques being produced)
//   0x0C base orientation     -> 0x0C, quaternion x, y, z, w (the mounting: 0, 0.7071, 0, 0.7071)
//   0xAC power status         -> 0xAC, 0x01 (powered)
//   0xAA temperature          -> 0xAA, 1 float (degrees Celsius, warming slowly after start)
//   0x2A force, 0x2C position target             -> 0x2B position, velocity
//   0x1A joint torques, 0x1C joint angle targets -> 0x1B joint angles, joint angle rates
#pragma once

#include <array>
#include <cstdint>

#include "ArmPhysics.h"
#include "SimDevice.h"
#include "Trace.h"

namespace tavix_devsim {

constexpr uint8_t kArmModelNumber = 4;
constexpr uint8_t kArmHardwareVersion = 2;
constexpr uint8_t kArmFirmwareVersion = 7;

class ArmSim : public SimDevice {
public:
    // Force frames are recorded in `trace`, when given, as arm number `index`.
    ArmSim(uint16_t device_id, Clock::time_point start, Trace* trace = nullptr, unsigned index = 0);

    size_t RequestLength(const uint8_t* bytes, size_t n) const override;
    void OnRequest(const uint8_t* request, size_t n, Clock::time_point now, Line& line) override;
    Clock::time_point OnTick(Clock::time_point, Line&) override { return Clock::time_point::max(); }

    ArmPhysics& Physics() { return physics; }

private:
    // Brings the body up to `now` under the command in force.
    void CatchUp(Clock::time_point now);
    void AnswerIdentity(Line& line, Clock::time_point now);
    void AnswerIdentifier(uint8_t selector, Line& line, Clock::time_point now);
    void AnswerFloats(uint8_t code, const float* values, size_t count, Line& line, Clock::time_point now);
    void AnswerState(uint8_t code, const std::array<float, 3>& first, const std::array<float, 3>& second, Line& line,
                     Clock::time_point now);

    uint16_t device_id;
    Clock::time_point started;
    Clock::time_point simulated_until;
    ArmPhysics physics;
    Trace* trace;
    unsigned index;
};

}  // namespace tavix_devsim
