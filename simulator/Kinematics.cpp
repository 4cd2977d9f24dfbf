#include "Kinematics.h"

#include <cmath>

namespace tavix_devsim {

namespace {
// The arm's firmware turns degrees into radians, and makes its half turns, with the binary32
// value of pi (0x40490FD8); the simulated arm does the same.
constexpr double kFirmwarePi = 3.1415920257568359375;
// Closer than this, the two elbows coincide and the linkage's closing angle is undefined.
constexpr double kCoincidentElbows = 1e-6;  // m

double Radians(double degrees) { return degrees * kFirmwarePi / 180.0; }

// The rotation by the unit quaternion q = (x, y, z, w).
Vec3 Rotate(const std::array<double, 4>& q, const Vec3& p) {
    const double x = q[0], y = q[1], z = q[2], w = q[3];
    const std::array<Vec3, 3> m{{
        {1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
        {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
        {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)},
    }};
    Vec3 out{};
    for (size_t i = 0; i < 3; ++i) out[i] = m[i][0] * p[0] + m[i][1] * p[1] + m[i][2] * p[2];
    return out;
}
}  // namespace

Vec3 EndEffectorPosition(const Calibration& c, const Vec3& raw) {
    const Vec3& g = c.gear_coefficients;
    const Vec3& o = c.angle_offsets;
    const double head = Radians(90.0 + g[0] * raw[0]) - o[0];
    const double inner = Radians(-180.0 - g[1] * raw[1]) - o[1];
    const double outer = Radians(-180.0 - g[2] * raw[2]) - o[2];

    // The five-bar linkage in the head's plane. The inner driven link ends at its elbow
    // (ax, ay); the outer one's elbow lies at `to_outer` from there, at `distance`.
    const double ax = c.inner_arm_1 * std::cos(inner);
    const double ay = c.inner_arm_1 * std::sin(inner);
    const double to_outer_x = c.base_spacing + ax - c.outer_arm_1 * std::cos(outer);
    const double to_outer_y = ay - c.outer_arm_1 * std::sin(outer);
    const double distance = std::sqrt(to_outer_x * to_outer_x + to_outer_y * to_outer_y);

    // The inner chain's second link, by the law of cosines in the triangle it closes with the
    // outer chain's second link; straight on when the elbows coincide. NaN in, NaN out.
    double closing = inner;
    if (!(distance < kCoincidentElbows)) {
        const double l3 = c.inner_arm_2, l4 = c.outer_arm_2;
        const double corner = std::acos((distance * distance + l3 * l3 - l4 * l4) / (2 * distance * l3));
        closing = std::atan2(to_outer_y, to_outer_x) + kFirmwarePi - corner;
    }
    const double along = c.base_spacing / 2 + ax + c.inner_arm_2 * std::cos(closing);
    const double across = c.in_plane_offset - (ay + c.inner_arm_2 * std::sin(closing));

    // The plane turned by the head, then the tool's offset and the base's orientation.
    const double reach = c.head_offset + c.extension;
    const double u = c.tool_offset[0] + reach * std::cos(head) - across * std::sin(head);
    const double v = c.tool_offset[1] + across * std::cos(head) + reach * std::sin(head);
    const double a = along + c.tool_offset[2];
    return Rotate(c.base_orientation, {-a, v, u});
}

}  // namespace tavix_devsim
