// The arm's body: its end effector is a point mass with viscous damping and a little
// stiction, moving in Cartesian space under the commanded force (or under a PD spring
// towards a position target) and kept inside a ball of the reachable workspace. Joint
// angles are not simulated separately: they are found by inverting the simulated arm's own
// forward kinematics (Kinematics.h) at its default calibration, so that a host's kinematics
// of the reported angles gives back the reported position within kHostKinematicsTolerance.
//
// Units: metres, seconds, newtons; raw joint angles in degrees as the arm reports them;
// joint torques in newton-metres per radian of raw joint angle.
#pragma once

#include <array>

#include "Kinematics.h"

namespace tavix_devsim {

// The binary32 values the arm sends.
std::array<float, 3> ToFloats(const Vec3& a);

struct Workspace {
    Vec3 center;
    double radius;
};

class ArmPhysics {
public:
    static constexpr double kMass = 0.1;
    static constexpr double kDamping = 4.0;         // N s/m, always acting
    static constexpr double kStiffness = 250.0;     // N/m, spring towards a position target
    static constexpr double kTargetDamping = 6.0;   // N s/m, added while holding a target
    static constexpr double kStiction = 0.02;       // N: smaller forces do not start a resting mass
    static constexpr double kMaxForce = 10.0;       // N: what the motors can produce
    static constexpr double kTorqueConstant = 0.25; // N m per ampere of motor current

    // At rest in the middle of the workspace, no force commanded.
    ArmPhysics();

    // The ball the end effector is kept in: well clear of the linkage's singular poses.
    static const Workspace& Space();

    // Non-finite commands are ignored (forces and torques count as zero).
    void CommandForce(const Vec3& force);
    void CommandPosition(const Vec3& target);
    void CommandJointTorques(const Vec3& torques);
    void CommandJointAngles(const Vec3& raw_degrees);
    // Integrates `seconds` of motion (at most one second's worth: by then every motion has
    // settled or reached the workspace's edge).
    void Advance(double seconds);

    const Vec3& Position() const { return position; }
    const Vec3& Velocity() const { return velocity; }
    // Raw joint angles whose forward kinematics is Position().
    std::array<float, 3> JointAngles();
    // Raw joint angle rates in degrees per second.
    std::array<float, 3> JointVelocities();
    // The joint torques behind the force now applied.
    Vec3 JointTorques();
    bool HoldingTarget() const { return holding_target; }

private:
    Vec3 AppliedForce() const;
    void Step(double dt);
    void KeepInside();
    const Vec3& Joints();

    Calibration model;
    Vec3 position{};
    Vec3 velocity{};
    Vec3 force{};
    Vec3 target{};
    bool holding_target = false;
    Vec3 joints{};          // raw degrees, solved for `joints_for`
    Vec3 joints_for{};
};

}  // namespace tavix_devsim
