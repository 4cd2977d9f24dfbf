// The arm's control loop exchange and its host-side kinematics.
#include "TavixHardwareAPI/Osmira.h"

#include "TavixHardwareAPI/ArmModel.h"

namespace Tavix::HardwareAPI::Devices {

namespace {
constexpr uint8_t kForce = 0x2A;
constexpr uint8_t kPosition = 0x2C;
constexpr uint8_t kState = 0x2B;
constexpr uint8_t kJointTorques = 0x1A;
constexpr uint8_t kJointAngles = 0x1C;
constexpr uint8_t kJointState = 0x1B;
constexpr size_t kStateSize = 24;

// The joint angles the arm reports while commanded zero torque; zeros when it does not answer.
Vector3 RawJointAngles(Osmira& arm) {
    Vector3 angles{}, velocities{};
    arm.ExchangeJointTorques({0.0f, 0.0f, 0.0f}, angles, velocities);
    return angles;
}
}  // namespace

Osmira::Osmira(IO::SerialStream& stream) : Osmira(stream, kDefaultTimeout) {}

Osmira::Osmira(IO::SerialStream& stream, float timeout) : Device(stream, timeout) {
    owe_on_timeout = true;
    ArmModel::Instance().ResetForNewArm();
}

bool Osmira::BeginRequest(Settle& settled) {
    settled = SettleOwed();
    return settled != Settle::Cancelled;
}

bool Osmira::ReplyDue(Settle settled, int headers, size_t length) {
    if (settled != Settle::Silent) return true;
    // What was owed never came: waiting again for this reply would double what a silent arm
    // costs. It is owed to the next caller instead.
    Ledger().Expect(static_cast<uint8_t>(headers), static_cast<uint16_t>(length), false);
    ReportSilentLine();
    return false;
}

bool Osmira::ExchangeVectors(uint8_t request, const Vector3& values, uint8_t reply, Vector3& first, Vector3& second) {
    Settle settled{};
    if (!BeginRequest(settled)) return Finish(false);
    SendCommand(request, values.data(), 3);
    if (!ReplyDue(settled, 1, kStateSize) || !ReadReply(reply, kStateSize)) return Finish(false);
    first = PayloadFloats<3>(0);
    second = PayloadFloats<3>(12);
    return Finish(true);
}

bool Osmira::ExchangeForce(const Vector3& force, Vector3& position, Vector3& velocity) {
    return ExchangeVectors(kForce, force, kState, position, velocity);
}
bool Osmira::ExchangePosition(const Vector3& target, Vector3& position, Vector3& velocity) {
    return ExchangeVectors(kPosition, target, kState, position, velocity);
}
bool Osmira::ExchangeJointTorques(const Vector3& torques, Vector3& angles, Vector3& velocities) {
    return ExchangeVectors(kJointTorques, torques, kJointState, angles, velocities);
}
bool Osmira::ExchangeAngles(const Vector3& target, Vector3& angles, Vector3& velocities) {
    return ExchangeVectors(kJointAngles, target, kJointState, angles, velocities);
}

void Osmira::SendAwaited(uint8_t code, const float* values, int count, size_t length) {
    if (Finish(SendCommand(code, values, count))) Ledger().Expect(1, static_cast<uint16_t>(length), true);
}

void Osmira::SendForce(const Vector3& force) { SendAwaited(kForce, force.data(), 3, kStateSize); }
void Osmira::SendPosition(const Vector3& position) { SendAwaited(kPosition, position.data(), 3, kStateSize); }
void Osmira::SendJointTorques(const Vector3& torques) { SendAwaited(kJointTorques, torques.data(), 3, kStateSize); }
void Osmira::SendAngle(const Vector3& angles) { SendAwaited(kJointAngles, angles.data(), 3, kStateSize); }

bool Osmira::ReadReply(uint8_t code, size_t length) {
    const uint8_t got = ReadReplyHeader(length, code);
    if (got != code) {
        if (got != 0) ReportWrongCode(got, code);
        ReadBytes(kBufferSize);  // resynchronise: drop what follows a reply we cannot parse
        if (got != 0) Ledger().Clear();  // out of step: what the line owes can no longer be known
        return false;
    }
    return ReadPayload(length) == static_cast<int>(length);
}

bool Osmira::ReceiveAwaited(uint8_t code, size_t length) {
    const Settle settled = SettleOwed(false);
    if (settled == Settle::Cancelled) {
        Ledger().AbandonFirstAwaited();  // this read never got to it: nobody's answer now
        return Finish(false);
    }
    if (settled == Settle::Silent) return Finish(ReplyDue(settled, 1, length));
    if (Ledger().Replies() > 0) Ledger().PopFront();  // the first awaited reply: this one's
    return Finish(ReadReply(code, length));
}

bool Osmira::ReceiveState(Vector3& position, Vector3& velocity) {
    if (!ReceiveAwaited(kState, kStateSize)) return false;
    position = PayloadFloats<3>(0);
    velocity = PayloadFloats<3>(12);
    return true;
}

bool Osmira::ReceiveJointState(Vector3& angles, Vector3& velocities) {
    if (!ReceiveAwaited(kJointState, kStateSize)) return false;
    angles = PayloadFloats<3>(0);
    velocities = PayloadFloats<3>(12);
    return true;
}

Vector3 ComputeEndEffectorPosition(Osmira& arm) {
    const Vector3 raw = RawJointAngles(arm);
    return ForwardKinematics(ArmModel::Instance().Snapshot(), raw);
}

void AdjustAngles(Osmira& arm, const Vector3& true_angles) {
    ArmModel::Instance().CalibrateAngleOffsets(RawJointAngles(arm), true_angles);
}

}  // namespace Tavix::HardwareAPI::Devices
