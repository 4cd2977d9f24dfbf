// The parts of tavix-bridge that need no DDS: the joint solver against the host kinematics,
// the safety gates on commands and couplings, and the command line's refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "Gates.h"
#include "JointSolver.h"
#include "Options.h"
#include "TavixHardwareAPI/ArmModel.h"

namespace {

using tavix_bridge::CommandGate;
using tavix_bridge::CouplingFade;
using tavix_bridge::JointSolver;
using tavix_bridge::Vec3;

Tavix::HardwareAPI::ArmModelValues DefaultModel() {
    Tavix::HardwareAPI::ArmModel::Instance().ResetForNewArm();
    Tavix::HardwareAPI::ArmModel::Instance().SetAngleOffsets({0.0f, 0.0f, 0.0f});
    return Tavix::HardwareAPI::ArmModel::Instance().Snapshot();
}

// IK(FK(q)) == q over the workspace (the simulator's: a ball of 5 cm around the home pose), at
// the default calibration and at a changed one (gear coefficients and angle offsets), both for
// a solver that tracks the arm from its last solution and for a fresh one.
TEST(BridgeJointSolver, InvertsTheHostKinematics) {
    Tavix::HardwareAPI::ArmModelValues changed = DefaultModel();
    changed.gear_coefficients = {1.1f, 0.9f, 1.05f};
    changed.angle_offsets = {0.05f, -0.1f, 0.08f};
    for (const auto& model : {DefaultModel(), changed}) {
        JointSolver tracking(model);
        std::mt19937 random(7);
        std::uniform_real_distribution<double> spread(-0.5, 0.5);
        const Vec3 home = tracking.Home();
        const Vec3 centre = tracking.Position(home);
        for (int i = 0; i < 500;) {
            const Vec3 q{home[0] + spread(random), home[1] + spread(random), home[2] + spread(random)};
            const Vec3 p = tracking.Position(q);
            const double distance = std::hypot(p[0] - centre[0], p[1] - centre[1], p[2] - centre[2]);
            if (!(distance <= 0.05)) continue;  // outside the workspace (or no pose at all)
            ++i;
            JointSolver fresh(model);
            Vec3 a{}, b{};
            ASSERT_TRUE(tracking.Solve(p, a));
            ASSERT_TRUE(fresh.Solve(p, b));
            for (int k = 0; k < 3; ++k) {
                EXPECT_NEAR(a[k], q[k], 1e-4) << "joint " << k << " at pose " << i;
                EXPECT_NEAR(b[k], q[k], 1e-4) << "joint " << k << " at pose " << i;
            }
            // Rates: J^-1 of the velocity of a small motion gives the motion back.
            const Vec3 dq{0.01, -0.02, 0.015};
            const double h = 1e-2;
            const Vec3 ahead = tracking.Position({q[0] + dq[0] * h, q[1] + dq[1] * h, q[2] + dq[2] * h});
            const Vec3 behind = tracking.Position({q[0] - dq[0] * h, q[1] - dq[1] * h, q[2] - dq[2] * h});
            const Vec3 velocity{(ahead[0] - behind[0]) / (2 * h), (ahead[1] - behind[1]) / (2 * h),
                                (ahead[2] - behind[2]) / (2 * h)};
            Vec3 rates{};
            ASSERT_TRUE(tracking.Rates(q, velocity, rates));
            for (int k = 0; k < 3; ++k) EXPECT_NEAR(rates[k], dq[k], 2e-3);
        }
        Vec3 q{};
        EXPECT_FALSE(tracking.Solve({std::nan(""), 0.0, 0.0}, q));
        EXPECT_FALSE(tracking.Solve({5.0, 5.0, 5.0}, q));  // out of reach
    }
}

TEST(BridgeGates, CommandIsClampedRejectedAndRampsOutAfterTheTimeout) {
    CommandGate gate(0.1, 1.0);
    EXPECT_EQ(gate.Output(0.0), (tavix_bridge::Force{0.0, 0.0, 0.0}));  // nothing before a command
    ASSERT_TRUE(gate.Offer({3.0, 4.0, 0.0}, 1.0));
    const auto clamped = gate.Output(1.05);
    EXPECT_NEAR(clamped[0], 0.6, 1e-12);
    EXPECT_NEAR(clamped[1], 0.8, 1e-12);
    EXPECT_TRUE(gate.Offer({1e308, 1e308, 0.0}, 1.0));  // huge but finite: clamped, direction kept
    EXPECT_NEAR(gate.Output(1.0)[0], std::sqrt(0.5), 1e-12);
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(gate.Offer({0.1, inf, 0.0}, 1.01));
    EXPECT_FALSE(gate.Offer({std::nan(""), 0.0, 0.0}, 1.01));
    EXPECT_NEAR(gate.Output(1.01)[0], std::sqrt(0.5), 1e-12);  // rejected ones change nothing
    ASSERT_TRUE(gate.Offer({0.0, 0.0, -0.5}, 2.0));  // the latest arrival wins
    EXPECT_EQ(gate.Gain(2.099), 1.0);
    const double mid = gate.Gain(2.1 + CommandGate::kRampSeconds / 2);
    EXPECT_GT(mid, 0.4);
    EXPECT_LT(mid, 0.6);
    EXPECT_EQ(gate.Output(2.1 + 0.2)[2], 0.0);  // zero within 0.2 s of the timeout
    ASSERT_TRUE(gate.Offer({0.0, 0.0, -0.5}, 3.0));  // a new command is rendered at once
    EXPECT_EQ(gate.Output(3.0)[2], -0.5);
}

TEST(BridgeGates, CouplingFadesInOverHalfASecondAndOutWithinAFifth) {
    CouplingFade fade(0.1);
    double t = 0.0, previous = 0.0;
    EXPECT_EQ(fade.Update(t), 0.0);
    while (t < 0.4) {  // poses every 2 ms: the gain rises, never in one step
        t += 0.002;
        fade.Arrived(t);
        const double gain = fade.Update(t);
        EXPECT_LE(gain - previous, 0.002 / CouplingFade::kFadeInSeconds + 1e-12);
        previous = gain;
    }
    EXPECT_GT(previous, 0.7);
    EXPECT_LT(previous, 0.9);
    while (t < 0.6) {
        t += 0.002;
        fade.Arrived(t);
        fade.Update(t);
    }
    EXPECT_EQ(fade.Gain(), 1.0);
    fade.Arrived(t);
    fade.Update(t + 0.1);                   // still fresh
    EXPECT_EQ(fade.Gain(), 1.0);
    EXPECT_EQ(fade.Update(t + 0.1 + 0.2), 0.0);  // gone within 0.2 s of the timeout
    // A control thread that stalls for a second while poses come resumes the fade, no step.
    fade.Arrived(2.0);
    const double before = fade.Update(2.0);
    fade.Arrived(3.0);
    EXPECT_LE(fade.Update(3.0) - before, CouplingFade::kMaxFadeInStep + 1e-12);
}

TEST(BridgeOptions, RefusesWithOneLineAndStatusTwo) {
    const char* bad_name[] = {"tavix-bridge", "/dev/ttyACM0", "--name", "arm-1"};
    auto result = tavix_bridge::ParseOptions(4, bad_name, nullptr);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.message, "tavix-bridge: --name: 'arm-1' is not a name (letters, digits and _ only)");
    const char* bad_rate[] = {"tavix-bridge", "/dev/ttyACM0", "--rate=nan"};
    EXPECT_EQ(tavix_bridge::ParseOptions(3, bad_rate, nullptr).status, 2);
    const char* no_port[] = {"tavix-bridge", "--name", "left"};
    EXPECT_EQ(tavix_bridge::ParseOptions(3, no_port, nullptr).status, 2);
    EXPECT_EQ(tavix_bridge::ParseOptions(2, bad_name, "x7").status, 2);  // a bad ROS_DOMAIN_ID

    const char* good[] = {"tavix-bridge", "/dev/ttyACM0", "--name", "left_2", "--follow=right", "--max-force", "2.5"};
    result = tavix_bridge::ParseOptions(7, good, "17");
    ASSERT_EQ(result.status, -1) << result.message;
    EXPECT_EQ(result.options.domain, 17);
    EXPECT_EQ(result.options.name, "left_2");
    EXPECT_EQ(result.options.follow, "right");
    EXPECT_EQ(result.options.max_force, 2.5);
    EXPECT_EQ(result.options.rate_hz, 500.0);
    EXPECT_EQ(result.options.command_timeout, 0.1);
}

}  // namespace
