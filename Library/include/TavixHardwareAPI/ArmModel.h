// The host-side kinematic model of the arm: one instance for the whole process, shared by
// every arm object and reset by every arm construction and every arm discovery probe.
//
// Geometry: a head turning about one axis (joint 0) carries a planar closed five-bar linkage
// driven by joints 1 and 2; the end effector sits at fixed offsets from the linkage's end
// point. Lengths, offsets and positions share one length unit; raw joint angles are degrees.
//
// Threads: the model is written by arm constructors, calibration calls and discovery probe
// threads while others read it. Every access goes through one mutex, and readers take a
// whole snapshot, so nobody ever sees a half-written model.
#pragma once

#include <array>
#include <mutex>

namespace Tavix::HardwareAPI {

// The model's values, all binary32. A plain value: copy it to compute without the lock.
struct ArmModelValues {
    float inner_arm_1 = 0.0f;  // L1
    float outer_arm_1 = 0.0f;  // L2
    float inner_arm_2 = 0.0f;  // L3
    float outer_arm_2 = 0.0f;  // L4
    float base_spacing = 0.0f;     // D
    float head_offset = 0.0f;      // H
    float extension = 0.0f;        // E, always stored as an absolute value
    float in_plane_offset = 0.0f;  // S
    std::array<float, 3> tool_offset{};          // T
    std::array<float, 4> base_orientation{};     // unit quaternion x, y, z, w
    std::array<float, 3> angle_offsets{};        // radians, subtracted from the joint angles
    std::array<float, 3> gear_coefficients{1.0f, 1.0f, 1.0f};  // head, inner arm, outer arm
};

// Default link lengths of the arm.
constexpr float kDefaultInnerArm1 = 0.14f;
constexpr float kDefaultOuterArm1 = 0.14f;
constexpr float kDefaultInnerArm2 = 0.165f;
constexpr float kDefaultOuterArm2 = 0.165f;
constexpr float kDefaultExtension = 0.0765f;

class ArmModel {
public:
    // The process-wide model: lengths and offsets zero and gear coefficients 1.0 at start.
    static ArmModel& Instance();

    ArmModelValues Snapshot() const;
    // Sets the link lengths, |extension|, the fixed offsets and the base orientation
    // (0, 0.7071, 0, 0.7071); leaves gear coefficients and angle offsets alone.
    void Configure(float inner_arm_1, float outer_arm_1, float inner_arm_2, float outer_arm_2, float extension);
    // What constructing an arm (or probing for one) does: gear coefficients back to 1.0,
    // then Configure with the default lengths. Angle offsets survive.
    void ResetForNewArm();
    void SetAngleOffsets(const std::array<float, 3>& offsets);
    // Sets the angle offsets so that `raw_angles` (degrees, as the arm reports them) map to
    // `true_angles` (degrees) under the current gear coefficients, in one locked step.
    void CalibrateAngleOffsets(const std::array<float, 3>& raw_angles, const std::array<float, 3>& true_angles);
    void SetGearCoefficients(const std::array<float, 3>& coefficients);
    // Restores the configured base orientation (0, 0.7071, 0, 0.7071) only.
    void ResetBaseOrientation();

private:
    ArmModel() = default;
    static void Configure(ArmModelValues& values, float inner_arm_1, float outer_arm_1, float inner_arm_2,
                          float outer_arm_2, float extension);
    mutable std::mutex mutex;
    ArmModelValues values;
};

// ConfigureArmModel: ArmModel::Instance().Configure(...).
void ConfigureArmModel(float inner_arm_1, float outer_arm_1, float inner_arm_2, float outer_arm_2, float extension);

// Forward kinematics: the end-effector position for raw joint angles j0, j1, j2 (degrees,
// as the arm reports them) under `model`. Pure arithmetic, no I/O. Binary32 terms, with
// sin/cos/atan2/acos evaluated in double precision on binary32 arguments and every stored
// intermediate rounded to binary32. Components are NaN when the two second links cannot meet,
// and whenever a length, offset or joint angle is NaN or a gear coefficient is infinite.
std::array<float, 3> ForwardKinematics(const ArmModelValues& model, const std::array<float, 3>& raw_angles);

}  // namespace Tavix::HardwareAPI
