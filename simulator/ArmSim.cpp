#include "ArmSim.h"

#include <cmath>
#include <cstring>

namespace tavix_devsim {

namespace {
constexpr uint8_t kWakeUp = 0x0A, kIdentity = 0x0B;
constexpr uint8_t kIdentifier = 0x0D, kDeviceIdentifier = 0xD1, kFirmwareIdentifier = 0xD2;
constexpr uint8_t kCurrents = 0xAB, kOrientation = 0x0C, kPower = 0xAC, kTemperature = 0xAA;
constexpr uint8_t kForce = 0x2A, kPosition = 0x2C, kState = 0x2B;
constexpr uint8_t kJointTorques = 0x1A, kJointAngles = 0x1C, kJointState = 0x1B;
constexpr size_t kVectorRequest = 13;
constexpr uint8_t kPowered = 0x01;
constexpr float kHalfSqrt2 = 0.70710678f;

// 16 bytes shaped like a random (version 4) UUID, the same for the same arm on every run.
std::array<uint8_t, 16> Identifier(uint16_t device_id, uint8_t salt) {
    std::array<uint8_t, 16> id{};
    uint32_t state = 0x9E3779B9u ^ (uint32_t{device_id} << 8) ^ salt;
    for (auto& byte : id) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    id[6] = static_cast<uint8_t>(0x40 | (id[6] & 0x0F));
    id[8] = static_cast<uint8_t>(0x80 | (id[8] & 0x3F));
    return id;
}

Vec3 Payload(const uint8_t* request) {
    float v[3];
    std::memcpy(v, request + 1, sizeof v);
    return {v[0], v[1], v[2]};
}
}  // namespace

ArmSim::ArmSim(uint16_t device_id, Clock::time_point start, Trace* trace, unsigned index)
    : device_id(device_id), started(start), simulated_until(start), trace(trace), index(index) {}

size_t ArmSim::RequestLength(const uint8_t* bytes, size_t) const {
    switch (bytes[0]) {
        case kForce: case kPosition: case kJointTorques: case kJointAngles: return kVectorRequest;
        case kIdentifier: return 2;
        case kWakeUp: case kCurrents: case kOrientation: case kPower: case kTemperature: return 1;
        default: return 0;
    }
}

void ArmSim::CatchUp(Clock::time_point now) {
    if (now <= simulated_until) return;
    physics.Advance(std::chrono::duration<double>(now - simulated_until).count());
    simulated_until = now;
}

void ArmSim::OnRequest(const uint8_t* request, size_t, Clock::time_point now, Line& line) {
    CatchUp(now);
    switch (request[0]) {
        case kForce: {
            physics.CommandForce(Payload(request));
            const auto position = ToFloats(physics.Position());
            const auto velocity = ToFloats(physics.Velocity());
            if (trace) trace->ForceFrame(index, ToFloats(Payload(request)), position, velocity);
            return AnswerState(kState, position, velocity, line, now);
        }
        case kPosition:
            physics.CommandPosition(Payload(request));
            return AnswerState(kState, ToFloats(physics.Position()), ToFloats(physics.Velocity()), line, now);
        case kJointTorques:
            physics.CommandJointTorques(Payload(request));
            return AnswerState(kJointState, physics.JointAngles(), physics.JointVelocities(), line, now);
        case kJointAngles:
            physics.CommandJointAngles(Payload(request));
            return AnswerState(kJointState, physics.JointAngles(), physics.JointVelocities(), line, now);
        case kWakeUp: return AnswerIdentity(line, now);
        case kIdentifier: return AnswerIdentifier(request[1], line, now);
        case kCurrents: {
            const Vec3 torques = physics.JointTorques();
            const float amperes[3] = {static_cast<float>(torques[0] / ArmPhysics::kTorqueConstant),
                                      static_cast<float>(torques[1] / ArmPhysics::kTorqueConstant),
                                      static_cast<float>(torques[2] / ArmPhysics::kTorqueConstant)};
            return AnswerFloats(kCurrents, amperes, 3, line, now);
        }
        case kOrientation: {
            const float mounting[4] = {0.0f, kHalfSqrt2, 0.0f, kHalfSqrt2};
            return AnswerFloats(kOrientation, mounting, 4, line, now);
        }
        case kPower: {
            const uint8_t answer[2] = {kPower, kPowered};
            return line.SendAnswer(answer, sizeof answer, now);
        }
        case kTemperature: {
            // Warms from 25 towards 35 degrees over the first quarter hour or so.
            const double minutes = std::chrono::duration<double>(now - started).count() / 60.0;
            const float celsius = static_cast<float>(25.0 + 10.0 * (1.0 - std::exp(-minutes / 5.0)));
            return AnswerFloats(kTemperature, &celsius, 1, line, now);
        }
        default: return;
    }
}

void ArmSim::AnswerIdentity(Line& line, Clock::time_point now) {
    uint8_t answer[22] = {kIdentity, static_cast<uint8_t>(device_id), static_cast<uint8_t>(device_id >> 8),
                          kArmModelNumber, kArmHardwareVersion, kArmFirmwareVersion};
    const auto id = Identifier(device_id, kDeviceIdentifier);
    std::memcpy(answer + 6, id.data(), id.size());
    line.SendAnswer(answer, sizeof answer, now);
}

void ArmSim::AnswerIdentifier(uint8_t selector, Line& line, Clock::time_point now) {
    // An unknown selector gets no answer, as a query the firmware does not know.
    if (selector != kDeviceIdentifier && selector != kFirmwareIdentifier) return;
    // The firmware identifier names the firmware build, so every arm shares it.
    const auto id = Identifier(selector == kDeviceIdentifier ? device_id : 0, selector);
    uint8_t answer[19] = {kIdentifier, selector, 16};
    std::memcpy(answer + 3, id.data(), id.size());
    line.SendAnswer(answer, sizeof answer, now);
}

void ArmSim::AnswerFloats(uint8_t code, const float* values, size_t count, Line& line, Clock::time_point now) {
    uint8_t answer[1 + 6 * sizeof(float)] = {code};
    std::memcpy(answer + 1, values, count * sizeof(float));
    line.SendAnswer(answer, 1 + count * sizeof(float), now);
}

void ArmSim::AnswerState(uint8_t code, const std::array<float, 3>& first, const std::array<float, 3>& second,
                         Line& line, Clock::time_point now) {
    const float values[6] = {first[0], first[1], first[2], second[0], second[1], second[2]};
    AnswerFloats(code, values, 6, line, now);
}

}  // namespace tavix_devsim
