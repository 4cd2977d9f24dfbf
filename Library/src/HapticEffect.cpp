#include "TavixHardwareAPI/HapticEffect.h"

#include <cfloat>
#include <cmath>

namespace Tavix::HardwareAPI::Devices {

namespace {
// The effects compute in double: the product of two binary32 values, or their sum, never
// overflows it, so a huge but finite force keeps its size and direction for the loop's limit.
using Precise = std::array<double, 3>;

Precise Widen(const Vector3& v) { return {v[0], v[1], v[2]}; }

double Dot(const Precise& a, const Precise& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// a * s + b * t, element by element.
Precise Combine(const Precise& a, double s, const Precise& b, double t) {
    return {a[0] * s + b[0] * t, a[1] * s + b[1] * t, a[2] * s + b[2] * t};
}

Precise Scale(const Precise& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }

Precise Minus(const Precise& a, const Precise& b) { return Combine(a, 1.0, b, -1.0); }

bool AllFinite(const Vector3& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

// To binary32; beyond its range, infinite (as binary32 arithmetic would have given).
float Narrow(double x) {
    if (x > FLT_MAX) return INFINITY;
    if (x < -FLT_MAX) return -INFINITY;
    return static_cast<float>(x);
}
}  // namespace

HapticEffect HapticEffect::Spring(const Vector3& centre, float stiffness, float damping) {
    return {Kind::Spring, centre, {}, stiffness, damping};
}

HapticEffect HapticEffect::Damping(float damping) { return {Kind::Damping, {}, {}, 0.0f, damping}; }

HapticEffect HapticEffect::Wall(const Vector3& point, const Vector3& normal, float stiffness, float damping) {
    if (!AllFinite(normal)) return {Kind::Wall, point, normal, stiffness, damping};  // kept: Problem names it
    // The squares of binary32 values neither overflow nor underflow a double.
    const Precise n = Widen(normal);
    const double length = std::sqrt(Dot(n, n));
    const Vector3 unit = length > 0.0 ? Vector3{static_cast<float>(n[0] / length), static_cast<float>(n[1] / length),
                                                static_cast<float>(n[2] / length)}
                                      : Vector3{};
    return {Kind::Wall, point, unit, stiffness, damping};
}

HapticEffect HapticEffect::ConstantForce(const Vector3& force) { return {Kind::ConstantForce, {}, force, 0.0f, 0.0f}; }

std::array<double, 3> HapticEffect::PreciseForce(const Vector3& position, const Vector3& velocity) const {
    const Precise p = Widen(position), v = Widen(velocity);
    switch (kind) {
        case Kind::Spring:
            return Combine(Minus(p, Widen(point)), -double{stiffness}, v, -double{damping});
        case Kind::Damping:
            return Scale(v, -double{damping});
        case Kind::Wall: {
            const Precise n = Widen(vector);
            const double depth = -Dot(Minus(p, Widen(point)), n);
            if (depth <= 0.0) return {};
            const double push = stiffness * depth - damping * Dot(v, n);
            return push > 0.0 ? Scale(n, push) : Precise{};
        }
        case Kind::ConstantForce:
            return Widen(vector);
    }
    return {};
}

Vector3 HapticEffect::Force(const Vector3& position, const Vector3& velocity) const {
    const Precise f = PreciseForce(position, velocity);
    return {Narrow(f[0]), Narrow(f[1]), Narrow(f[2])};
}

bool HapticEffect::Finite() const {
    return AllFinite(point) && AllFinite(vector) && std::isfinite(stiffness) && std::isfinite(damping);
}

const char* HapticEffect::Problem() const {
    if (!Finite()) return "every effect parameter must be a finite number";
    if (stiffness < 0.0f || damping < 0.0f) return "stiffness and damping must not be negative";
    if (kind == Kind::Wall && !(std::fabs(Dot(Widen(vector), Widen(vector)) - 1.0) <= 1e-5))
        return "a wall needs a finite nonzero normal";
    return nullptr;
}

}  // namespace Tavix::HardwareAPI::Devices
