#include "JointSolver.h"

#include <algorithm>
#include <cmath>

namespace tavix_bridge {

namespace {
constexpr double kPi = 3.141592f;  // the binary32 pi of the host kinematics (ArmModel.cpp)
constexpr double kStep = 1e-4;     // rad: the Jacobian's difference step
constexpr double kLargestStep = 0.2;  // rad: a Newton step at most, so it stays on its branch
constexpr Vec3 kHomeRaw{0.0, 65.0, -20.0};  // degrees

bool Finite(const Vec3& a) { return std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]); }
double MaxAbs(const Vec3& a) { return std::max({std::fabs(a[0]), std::fabs(a[1]), std::fabs(a[2])}); }

double Determinant(const std::array<Vec3, 3>& a) {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
}

// a x = b by Cramer's rule; false when a is singular.
bool SolveLinear(const std::array<Vec3, 3>& a, const Vec3& b, Vec3& x) {
    const double det = Determinant(a);
    if (!std::isfinite(det) || std::fabs(det) < 1e-12) return false;
    for (int k = 0; k < 3; ++k) {
        std::array<Vec3, 3> ak = a;
        for (int i = 0; i < 3; ++i) ak[i][k] = b[i];
        x[k] = Determinant(ak) / det;
    }
    return Finite(x);
}
}  // namespace

JointSolver::JointSolver(const Tavix::HardwareAPI::ArmModelValues& model) : model(model), last(Home()) {}

Vec3 JointSolver::Position(const Vec3& q) const {
    const auto& g = model.gear_coefficients;
    const auto& o = model.angle_offsets;
    const std::array<float, 3> raw{
        static_cast<float>((q[0] + o[0]) * 180.0 / kPi / g[0]),
        static_cast<float>((q[1] - o[1]) * 180.0 / kPi / g[1]),
        static_cast<float>((q[2] - o[2]) * 180.0 / kPi / g[2]),
    };
    const auto p = Tavix::HardwareAPI::ForwardKinematics(model, raw);
    return {p[0], p[1], p[2]};
}

Vec3 JointSolver::Home() const {
    const auto& g = model.gear_coefficients;
    const auto& o = model.angle_offsets;
    return {g[0] * kHomeRaw[0] * kPi / 180.0 - o[0], g[1] * kHomeRaw[1] * kPi / 180.0 + o[1],
            g[2] * kHomeRaw[2] * kPi / 180.0 + o[2]};
}

JointSolver::Mat3 JointSolver::Jacobian(const Vec3& q) const {
    Mat3 j{};
    for (int k = 0; k < 3; ++k) {
        Vec3 up = q, down = q;
        up[k] += kStep;
        down[k] -= kStep;
        const Vec3 a = Position(up), b = Position(down);
        for (int i = 0; i < 3; ++i) j[i][k] = (a[i] - b[i]) / (2 * kStep);
    }
    return j;
}

bool JointSolver::Newton(const Vec3& position, Vec3& q) const {
    Vec3 guess = q;
    for (int i = 0; i < kIterations; ++i) {
        const Vec3 reached = Position(guess);
        if (!Finite(reached)) return false;
        const Vec3 error{position[0] - reached[0], position[1] - reached[1], position[2] - reached[2]};
        if (MaxAbs(error) < kConverged) break;
        Vec3 step{};
        if (!SolveLinear(Jacobian(guess), error, step)) return false;
        const double largest = MaxAbs(step);
        if (largest > kLargestStep)
            for (double& s : step) s *= kLargestStep / largest;
        for (int k = 0; k < 3; ++k) guess[k] += step[k];
    }
    const Vec3 reached = Position(guess);
    if (!Finite(reached)) return false;
    const Vec3 error{position[0] - reached[0], position[1] - reached[1], position[2] - reached[2]};
    if (!(MaxAbs(error) < kAccepted)) return false;
    q = guess;
    return true;
}

bool JointSolver::Solve(const Vec3& position, Vec3& q) {
    if (!Finite(position)) return false;
    Vec3 guess = last;
    if (!Newton(position, guess)) {
        guess = Home();
        if (!Newton(position, guess)) return false;
    }
    last = q = guess;
    return true;
}

bool JointSolver::Rates(const Vec3& q, const Vec3& velocity, Vec3& rates) const {
    if (!Finite(velocity)) return false;
    return SolveLinear(Jacobian(q), velocity, rates);
}

}  // namespace tavix_bridge
