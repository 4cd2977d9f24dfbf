#include "TavixHardwareAPI/ArmModel.h"

#include <cmath>

namespace Tavix::HardwareAPI {

namespace {
// The arm's firmware works with this binary32 value of pi (0x40490FD8), not the nearest one.
constexpr float kPi = 3.141592f;
constexpr float kHeadOffset = -0.052f;
constexpr float kToolOffsetAlongAxis = 0.18645f;
constexpr float kHalfSqrt2 = 0.7071f;
constexpr std::array<float, 4> kConfiguredOrientation{0.0f, kHalfSqrt2, 0.0f, kHalfSqrt2};
constexpr double kCoincidentElbows = 1e-6;

// Stores a double-precision result as the binary32 intermediate the kinematics keeps.
float F(double value) { return static_cast<float>(value); }

std::array<float, 3> Rotate(const std::array<float, 4>& q, const std::array<float, 3>& p) {
    const float x = q[0], y = q[1], z = q[2], w = q[3];
    return {
        (1 - 2 * (y * y + z * z)) * p[0] + 2 * (x * y - z * w) * p[1] + 2 * (x * z + y * w) * p[2],
        2 * (x * y + z * w) * p[0] + (1 - 2 * (x * x + z * z)) * p[1] + 2 * (y * z - x * w) * p[2],
        2 * (x * z - y * w) * p[0] + 2 * (y * z + x * w) * p[1] + (1 - 2 * (x * x + y * y)) * p[2],
    };
}
}  // namespace

ArmModel& ArmModel::Instance() {
    static ArmModel model;
    return model;
}

ArmModelValues ArmModel::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return values;
}

void ArmModel::Configure(float inner_arm_1, float outer_arm_1, float inner_arm_2, float outer_arm_2,
                         float extension) {
    std::lock_guard<std::mutex> lock(mutex);
    Configure(values, inner_arm_1, outer_arm_1, inner_arm_2, outer_arm_2, extension);
}

void ArmModel::Configure(ArmModelValues& values, float inner_arm_1, float outer_arm_1, float inner_arm_2,
                         float outer_arm_2, float extension) {
    values.inner_arm_1 = inner_arm_1;
    values.outer_arm_1 = outer_arm_1;
    values.inner_arm_2 = inner_arm_2;
    values.outer_arm_2 = outer_arm_2;
    values.extension = std::fabs(extension);
    values.base_spacing = 0.0f;
    values.head_offset = kHeadOffset;
    values.in_plane_offset = 0.0f;
    values.tool_offset = {0.0f, 0.0f, kToolOffsetAlongAxis};
    values.base_orientation = kConfiguredOrientation;
}

void ArmModel::ResetForNewArm() {
    std::lock_guard<std::mutex> lock(mutex);
    values.gear_coefficients = {1.0f, 1.0f, 1.0f};
    Configure(values, kDefaultInnerArm1, kDefaultOuterArm1, kDefaultInnerArm2, kDefaultOuterArm2, kDefaultExtension);
}

void ArmModel::SetAngleOffsets(const std::array<float, 3>& offsets) {
    std::lock_guard<std::mutex> lock(mutex);
    values.angle_offsets = offsets;
}

void ArmModel::CalibrateAngleOffsets(const std::array<float, 3>& raw, const std::array<float, 3>& truth) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto& g = values.gear_coefficients;
    // The head angle enters ForwardKinematics with the opposite sign to the two arm joints.
    values.angle_offsets = {
        (g[0] * raw[0] - truth[0]) * kPi / 180.0f,
        (truth[1] - g[1] * raw[1]) * kPi / 180.0f,
        (truth[2] - g[2] * raw[2]) * kPi / 180.0f,
    };
}

void ArmModel::SetGearCoefficients(const std::array<float, 3>& coefficients) {
    std::lock_guard<std::mutex> lock(mutex);
    values.gear_coefficients = coefficients;
}

void ArmModel::ResetBaseOrientation() {
    std::lock_guard<std::mutex> lock(mutex);
    values.base_orientation = kConfiguredOrientation;
}

void ConfigureArmModel(float inner_arm_1, float outer_arm_1, float inner_arm_2, float outer_arm_2, float extension) {
    ArmModel::Instance().Configure(inner_arm_1, outer_arm_1, inner_arm_2, outer_arm_2, extension);
}

std::array<float, 3> ForwardKinematics(const ArmModelValues& m, const std::array<float, 3>& raw) {
    const auto& g = m.gear_coefficients;
    const auto& o = m.angle_offsets;
    const float theta0 = (90.0f + g[0] * raw[0]) * kPi / 180.0f - o[0];
    const float theta1 = (-180.0f - g[1] * raw[1]) * kPi / 180.0f - o[1];
    const float theta2 = (-180.0f - g[2] * raw[2]) * kPi / 180.0f - o[2];

    // The planar five-bar linkage in the plane of the head.
    const float A = F(m.inner_arm_1 * std::cos(double{theta1}));
    const float B = F(m.inner_arm_1 * std::sin(double{theta1}));
    const float X = F((m.base_spacing + A) - m.outer_arm_1 * std::cos(double{theta2}));
    const float Y = F(B - m.outer_arm_1 * std::sin(double{theta2}));
    const float phi = F(std::atan2(double{Y}, double{X}));
    const float R = F(std::sqrt(double{X * X + Y * Y}));

    // Coincident elbows: the inner chain runs straight on. Tested this way round so that an R
    // of NaN (NaN lengths or angles, an infinite gear coefficient) takes the acos branch and
    // the position comes out NaN rather than a finite point made from the other joints.
    float psi = theta1;
    if (!(double{R} < kCoincidentElbows)) {
        const float L3 = m.inner_arm_2, L4 = m.outer_arm_2;
        const double beta = std::acos(double{(R * R + L3 * L3 - L4 * L4) / (2 * R * L3)});
        psi = F((phi + kPi) - beta);
    }
    const float P = F((m.base_spacing / 2 + A) + m.inner_arm_2 * std::cos(double{psi}));
    const float Q = F(B + m.inner_arm_2 * std::sin(double{psi}));

    // Turn the plane by the head angle.
    const float r = m.head_offset + m.extension;
    const float across = m.in_plane_offset - Q;
    const double c0 = std::cos(double{theta0}), s0 = std::sin(double{theta0});
    const float u = F(m.tool_offset[0] + r * c0 - across * s0);
    const float v = F(m.tool_offset[1] + across * c0 + r * s0);
    const float a = P + m.tool_offset[2];
    return Rotate(m.base_orientation, {-a, v, u});
}

}  // namespace Tavix::HardwareAPI
