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
    arm.SendJointTorques({0.0f, 0.0f, 0.0f});
    arm.ReceiveJointState(angles, velocities);
    return angles;
}
}  // namespace

Osmira::Osmira(IO::SerialStream& stream) : Osmira(stream, kDefaultTimeout) {}

Osmira::Osmira(IO::SerialStream& stream, float timeout) : Device(stream, timeout) {
    ArmModel::Instance().ResetForNewArm();
}

void Osmira::SendForce(const Vector3& force) { SendCommand(kForce, force.data(), 3); }
void Osmira::SendPosition(const Vector3& position) { SendCommand(kPosition, position.data(), 3); }
void Osmira::SendJointTorques(const Vector3& torques) { SendCommand(kJointTorques, torques.data(), 3); }
void Osmira::SendAngle(const Vector3& angles) { SendCommand(kJointAngles, angles.data(), 3); }

bool Osmira::ReadReply(uint8_t code, size_t length) {
    if (!SettleOwed()) return false;  // cancelled before the request could go out
    if (ReadReplyHeader(length, code) != code) {
        ReadBytes(kBufferSize);  // resynchronise: drop what follows a reply we cannot parse
        return false;
    }
    return ReadPayload(length) == static_cast<int>(length);
}

bool Osmira::ReceiveState(Vector3& position, Vector3& velocity) {
    if (!ReadReply(kState, kStateSize)) return false;
    position = PayloadFloats<3>(0);
    velocity = PayloadFloats<3>(12);
    return true;
}

bool Osmira::ReceiveJointState(Vector3& angles, Vector3& velocities) {
    if (!ReadReply(kJointState, kStateSize)) return false;
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
