// The calibrated joint angles the host kinematics uses, found from the end effector's position
// (the arm is never asked for angles: that would interrupt the rendered force).
//
// Calibrated angles q, in radians, are what ArmModel::CalibrateAngleOffsets calls the true
// angles: q0 = g0 raw0 pi/180 - o0, q1 = g1 raw1 pi/180 + o1, q2 = g2 raw2 pi/180 + o2, for raw
// angles in degrees as the arm reports them, gear coefficients g and angle offsets o (pi being
// the binary32 value the kinematics uses). Position(q) is the library's ForwardKinematics of the
// matching raw angles, so the angles published are consistent with the position published.
//
// Solve inverts it by Newton's method, starting from the last solution (the arm moves little
// between two publications, and the linkage stays on its branch), and once more from the home
// pose when that fails. Velocities are J(q)^-1 v, J by central differences.
#pragma once

#include <array>

#include "TavixHardwareAPI/ArmModel.h"

namespace tavix_bridge {

using Vec3 = std::array<double, 3>;

class JointSolver {
public:
    // Newton stops below this residual (per component, m) and accepts a solution below kAccepted.
    static constexpr double kConverged = 1e-7;
    static constexpr double kAccepted = 1e-5;
    static constexpr int kIterations = 20;

    explicit JointSolver(const Tavix::HardwareAPI::ArmModelValues& model);

    // Calibrated angles (rad) -> end-effector position (m); NaN where the linkage cannot close.
    Vec3 Position(const Vec3& q) const;
    // The calibrated angles of the simulator's and the arm's home pose (raw 0, 65, -20 degrees).
    Vec3 Home() const;
    // The angles at `position`, from the last solution; false (nothing changes) when none is found.
    bool Solve(const Vec3& position, Vec3& q);
    // Joint rates (rad/s) at `q` for the end effector's `velocity` (m/s); false when J is singular.
    bool Rates(const Vec3& q, const Vec3& velocity, Vec3& rates) const;

private:
    bool Newton(const Vec3& position, Vec3& q) const;
    using Mat3 = std::array<Vec3, 3>;  // rows
    Mat3 Jacobian(const Vec3& q) const;

    Tavix::HardwareAPI::ArmModelValues model;
    Vec3 last;
};

}  // namespace tavix_bridge
