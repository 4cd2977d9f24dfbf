#include "TavixHardwareAPI/HapticEffect.h"

#include <cmath>

namespace Tavix::HardwareAPI::Devices {

namespace {
float Dot(const Vector3& a, const Vector3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// a * s + b * t, element by element.
Vector3 Combine(const Vector3& a, float s, const Vector3& b, float t) {
    return {a[0] * s + b[0] * t, a[1] * s + b[1] * t, a[2] * s + b[2] * t};
}

Vector3 Scale(const Vector3& a, float s) { return {a[0] * s, a[1] * s, a[2] * s}; }

Vector3 Minus(const Vector3& a, const Vector3& b) { return Combine(a, 1.0f, b, -1.0f); }

bool AllFinite(const Vector3& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }
}  // namespace

HapticEffect HapticEffect::Spring(const Vector3& centre, float stiffness, float damping) {
    return {Kind::Spring, centre, {}, stiffness, damping};
}

HapticEffect HapticEffect::Damping(float damping) { return {Kind::Damping, {}, {}, 0.0f, damping}; }

HapticEffect HapticEffect::Wall(const Vector3& point, const Vector3& normal, float stiffness, float damping) {
    const float length = std::sqrt(Dot(normal, normal));
    const Vector3 unit = length > 0.0f ? Scale(normal, 1.0f / length) : Vector3{};
    return {Kind::Wall, point, unit, stiffness, damping};
}

HapticEffect HapticEffect::ConstantForce(const Vector3& force) { return {Kind::ConstantForce, {}, force, 0.0f, 0.0f}; }

Vector3 HapticEffect::Force(const Vector3& position, const Vector3& velocity) const {
    switch (kind) {
        case Kind::Spring:
            return Combine(Minus(position, point), -stiffness, velocity, -damping);
        case Kind::Damping:
            return Scale(velocity, -damping);
        case Kind::Wall: {
            const float depth = -Dot(Minus(position, point), vector);
            if (depth <= 0.0f) return {};
            const float push = stiffness * depth - damping * Dot(velocity, vector);
            return push > 0.0f ? Scale(vector, push) : Vector3{};
        }
        case Kind::ConstantForce:
            return vector;
    }
    return {};
}

bool HapticEffect::Finite() const {
    return AllFinite(point) && AllFinite(vector) && std::isfinite(stiffness) && std::isfinite(damping);
}

}  // namespace Tavix::HardwareAPI::Devices
