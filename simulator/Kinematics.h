// The simulated arm's own forward kinematics, in double precision. It is written from the
// arm's geometry alone and shares no code or state with the host library's kinematic model,
// so that a host comparing its kinematics of the reported joint angles with the reported
// position checks the host's kinematics instead of restating them.
//
// Geometry: a head turning about one axis (joint 0) carries a planar closed five-bar linkage
// driven by joints 1 and 2; the end effector sits at fixed offsets from the linkage's end
// point, and the whole is turned by the base orientation. Metres and radians; raw joint
// angles in degrees as the arm reports them.
//
// Agreement with the host: the host keeps its terms and intermediates in binary32 and this
// model keeps them in double, so the two part by the host's rounding. Measured per component
// over 20000 seeded random binary32 poses of the workspace ball (DevSim_test,
// SimulatorKinematics): at most 1.44e-7 m at the default calibration and 1.77e-7 m at a changed
// one (other lengths, offsets, gear coefficients and angle offsets); and over 2000 random
// settled points of the ball, at most 1.12e-7 m between the host's kinematics of the reported
// (binary32) angles and the reported (binary32) position. kHostKinematicsTolerance allows
// 1 um, over five times the largest of these, while a wrong sign, a swapped link or an offset
// wrong by a tenth of a millimetre moves the point by far more (the same test shows it).
#pragma once

#include <array>

namespace tavix_devsim {

using Vec3 = std::array<double, 3>;

// The arm's kinematic constants; the defaults are those of the arm as it leaves the factory.
struct Calibration {
    double inner_arm_1 = 0.14;    // L1
    double outer_arm_1 = 0.14;    // L2
    double inner_arm_2 = 0.165;   // L3
    double outer_arm_2 = 0.165;   // L4
    double extension = 0.0765;    // E
    double base_spacing = 0.0;    // D: between the two driven joints
    double head_offset = -0.052;  // H
    double in_plane_offset = 0.0; // S
    Vec3 tool_offset{0.0, 0.0, 0.18645};                    // T
    std::array<double, 4> base_orientation{0.0, 0.7071, 0.0, 0.7071};  // quaternion x, y, z, w
    Vec3 gear_coefficients{1.0, 1.0, 1.0};  // head, inner arm, outer arm
    Vec3 angle_offsets{0.0, 0.0, 0.0};      // radians, subtracted from the joint angles
};

// How far the host's binary32 kinematics of the reported angles may lie from the reported
// position, per component (see the measurement above).
constexpr double kHostKinematicsTolerance = 1e-6;  // m

// The end-effector position for raw joint angles (degrees). NaN when the two second links
// cannot meet, and whenever an input is NaN.
Vec3 EndEffectorPosition(const Calibration& calibration, const Vec3& raw_degrees);

}  // namespace tavix_devsim
