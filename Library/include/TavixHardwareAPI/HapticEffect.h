// One force effect of a servo loop (ServoLoop): a force computed from the end effector's
// position and velocity. A loop sums the forces of its effects.
//
// Units: forces in the arm's force unit, positions in the unit of the arm's link lengths
// (ArmModel), velocities in that unit per second, stiffness in force per position unit and
// damping in force per velocity unit.
#pragma once

#include <array>
#include <cstdint>

#include "TavixHardwareAPI/Osmira.h"

namespace Tavix::HardwareAPI::Devices {

struct HapticEffect {
    enum class Kind : uint8_t { Spring, Damping, Wall, ConstantForce };

    // F = -stiffness (p - centre) - damping v.
    static HapticEffect Spring(const Vector3& centre, float stiffness, float damping);
    // F = -damping v.
    static HapticEffect Damping(float damping);
    // A one-sided plane through `point`: while the end effector is beyond it, on the negative
    // side of `normal` at depth d, F = max(0, stiffness d - damping v.n) n, a push back out
    // along the normal that never pulls. `normal` is made a unit vector here (in double
    // precision, so any finite nonzero normal, however short or long, can be); a zero normal
    // gives a wall that never pushes and a non-finite one a non-finite wall, both of which
    // Problem names.
    static HapticEffect Wall(const Vector3& point, const Vector3& normal, float stiffness, float damping);
    // F = force, always.
    static HapticEffect ConstantForce(const Vector3& force);

    // The force in binary32: a component beyond its range is infinite.
    Vector3 Force(const Vector3& position, const Vector3& velocity) const;
    // The same force in double precision, which finite parameters and a finite state never
    // overflow (a servo loop sums and limits these).
    std::array<double, 3> PreciseForce(const Vector3& position, const Vector3& velocity) const;
    // True when every parameter is a finite number.
    bool Finite() const;
    // Why a servo loop refuses this effect, or nullptr when it takes it: a parameter that is
    // not a finite number, a negative stiffness or damping, or a wall whose normal is not of
    // unit length (Wall was given a zero or non-finite normal).
    const char* Problem() const;

    Kind kind = Kind::ConstantForce;
    Vector3 point{};   // the spring's centre, a point of the wall's plane
    Vector3 vector{};  // the wall's unit normal, the constant force
    float stiffness = 0.0f;
    float damping = 0.0f;
};

}  // namespace Tavix::HardwareAPI::Devices
