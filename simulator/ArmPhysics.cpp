#include "ArmPhysics.h"

#include <algorithm>
#include <cmath>

namespace tavix_devsim {

namespace {
using Mat3 = std::array<Vec3, 3>;  // rows

constexpr double kStep = 2.5e-4;          // s: integration step
constexpr double kMaxAdvance = 1.0;       // s
constexpr double kRestingSpeed = 1e-3;    // m/s: slower than this, stiction can hold the mass
constexpr double kDegree = 3.14159265358979323846 / 180.0;
// A pose well inside the linkage's good working range: the two driven links spread apart
// and the end point off the head's axis (where head rotation and reach would coincide).
constexpr Vec3 kHomeJoints{0.0, 65.0, -20.0};
constexpr double kWorkspaceRadius = 0.05;
constexpr double kJacobianStep = 0.01;    // degrees
constexpr int kNewtonIterations = 10;
// Far below what binary32 angles resolve (about 1e-8 m), so the reported angles carry no
// error of the solve that a host could see.
constexpr double kNewtonConverged = 1e-12; // m
constexpr double kNewtonAccepted = 1e-9;   // m

Vec3 Add(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec3 Sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec3 Scale(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
double Dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double Norm(const Vec3& a) { return std::sqrt(Dot(a, a)); }
double MaxAbs(const Vec3& a) { return std::max({std::fabs(a[0]), std::fabs(a[1]), std::fabs(a[2])}); }
bool Finite(const Vec3& a) { return std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]); }

Vec3 Limit(const Vec3& force) {
    const double magnitude = Norm(force);
    return magnitude > ArmPhysics::kMaxForce ? Scale(force, ArmPhysics::kMaxForce / magnitude) : force;
}

// d position / d raw angle, per degree, by central differences.
Mat3 Jacobian(const Calibration& model, const Vec3& raw) {
    Mat3 j{};
    for (int k = 0; k < 3; ++k) {
        Vec3 up = raw, down = raw;
        up[k] += kJacobianStep;
        down[k] -= kJacobianStep;
        const Vec3 change = Sub(EndEffectorPosition(model, up), EndEffectorPosition(model, down));
        const Vec3 column = Scale(change, 1.0 / (2 * kJacobianStep));
        for (int i = 0; i < 3; ++i) j[i][k] = column[i];
    }
    return j;
}

Mat3 Transposed(const Mat3& a) {
    Mat3 t{};
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) t[i][k] = a[k][i];
    return t;
}

double Determinant(const Mat3& a) {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
}

// Solves a x = b by Cramer's rule; false when a is singular.
bool Solve(const Mat3& a, const Vec3& b, Vec3& x) {
    const double det = Determinant(a);
    if (!std::isfinite(det) || std::fabs(det) < 1e-30) return false;
    for (int k = 0; k < 3; ++k) {
        Mat3 ak = a;
        for (int i = 0; i < 3; ++i) ak[i][k] = b[i];
        x[k] = Determinant(ak) / det;
    }
    return Finite(x);
}

// Newton's method on the three raw angles, starting from `raw`.
bool Inverse(const Calibration& model, const Vec3& position, Vec3& raw) {
    Vec3 guess = raw;
    double residual = INFINITY;
    for (int i = 0; i < kNewtonIterations; ++i) {
        const Vec3 reached = EndEffectorPosition(model, guess);
        if (!Finite(reached)) return false;
        const Vec3 error = Sub(position, reached);
        residual = MaxAbs(error);
        if (residual < kNewtonConverged) break;
        Vec3 step{};
        if (!Solve(Jacobian(model, guess), error, step)) return false;
        const double largest = MaxAbs(step);
        if (largest > 10.0) step = Scale(step, 10.0 / largest);  // stay on this branch of the linkage
        guess = Add(guess, step);
    }
    if (residual >= kNewtonAccepted) {
        const Vec3 reached = EndEffectorPosition(model, guess);
        if (!Finite(reached) || MaxAbs(Sub(position, reached)) >= kNewtonAccepted) return false;
    }
    raw = guess;
    return true;
}
}  // namespace

std::array<float, 3> ToFloats(const Vec3& a) {
    return {static_cast<float>(a[0]), static_cast<float>(a[1]), static_cast<float>(a[2])};
}

const Workspace& ArmPhysics::Space() {
    static const Workspace space{EndEffectorPosition(Calibration{}, kHomeJoints), kWorkspaceRadius};
    return space;
}

ArmPhysics::ArmPhysics()
    : position(Space().center), joints(kHomeJoints), joints_for(Space().center) {}

void ArmPhysics::CommandForce(const Vec3& f) {
    force = Finite(f) ? Limit(f) : Vec3{};
    holding_target = false;
}

void ArmPhysics::CommandPosition(const Vec3& goal) {
    if (!Finite(goal)) return;
    target = goal;
    const Vec3 offset = Sub(goal, Space().center);
    const double distance = Norm(offset);
    if (distance > Space().radius) target = Add(Space().center, Scale(offset, Space().radius / distance));
    holding_target = true;
}

void ArmPhysics::CommandJointTorques(const Vec3& torques) {
    Vec3 f{};
    // tau = J^T F with J per radian; a pose where that cannot be solved produces no force.
    if (!Finite(torques) || !Solve(Transposed(Jacobian(model, Joints())), Scale(torques, kDegree), f)) f = {};
    CommandForce(f);
}

void ArmPhysics::CommandJointAngles(const Vec3& raw_degrees) {
    if (!Finite(raw_degrees)) return;
    CommandPosition(EndEffectorPosition(model, raw_degrees));
}

void ArmPhysics::Advance(double seconds) {
    if (!(seconds > 0)) return;
    seconds = std::min(seconds, kMaxAdvance);
    const double steps = std::ceil(seconds / kStep);
    const double dt = seconds / steps;
    for (double i = 0; i < steps; ++i) Step(dt);
}

Vec3 ArmPhysics::AppliedForce() const {
    if (!holding_target) return force;
    return Limit(Sub(Scale(Sub(target, position), kStiffness), Scale(velocity, kTargetDamping)));
}

void ArmPhysics::Step(double dt) {
    const Vec3 applied = AppliedForce();
    const Vec3 net = Sub(applied, Scale(velocity, kDamping));
    velocity = Add(velocity, Scale(net, dt / kMass));
    if (Norm(velocity) < kRestingSpeed && Norm(applied) <= kStiction) velocity = {};
    position = Add(position, Scale(velocity, dt));
    KeepInside();
}

void ArmPhysics::KeepInside() {
    const Vec3 offset = Sub(position, Space().center);
    const double distance = Norm(offset);
    if (distance <= Space().radius) return;
    const Vec3 normal = Scale(offset, 1.0 / distance);
    position = Add(Space().center, Scale(normal, Space().radius));
    const double outward = Dot(velocity, normal);
    if (outward > 0) velocity = Sub(velocity, Scale(normal, outward));  // the edge stops it dead
}

const Vec3& ArmPhysics::Joints() {
    if (position != joints_for) {
        Vec3 solved = joints;
        if (!Inverse(model, position, solved)) {
            solved = kHomeJoints;  // lost its way from the last pose: start again from home
            if (!Inverse(model, position, solved)) solved = joints;
        }
        joints = solved;
        joints_for = position;
    }
    return joints;
}

std::array<float, 3> ArmPhysics::JointAngles() { return ToFloats(Joints()); }

std::array<float, 3> ArmPhysics::JointVelocities() {
    Vec3 rates{};
    if (!Solve(Jacobian(model, Joints()), velocity, rates)) rates = {};
    return ToFloats(rates);
}

Vec3 ArmPhysics::JointTorques() {
    const Mat3 jt = Transposed(Jacobian(model, Joints()));
    const Vec3 f = AppliedForce();
    return Scale({Dot(jt[0], f), Dot(jt[1], f), Dot(jt[2], f)}, 1.0 / kDegree);
}

}  // namespace tavix_devsim
