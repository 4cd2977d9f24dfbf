#include "TavixHardwareAPI/ArmModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

using namespace Tavix::HardwareAPI;

namespace {

ArmModelValues DefaultModel() {
    ArmModel::Instance().ResetForNewArm();
    ArmModel::Instance().SetAngleOffsets({0, 0, 0});
    return ArmModel::Instance().Snapshot();
}

TEST(ArmModel, ConfigurationSetsTheFixedGeometry) {
    const ArmModelValues m = DefaultModel();
    EXPECT_EQ(m.inner_arm_1, 0.14f);
    EXPECT_EQ(m.outer_arm_2, 0.165f);
    EXPECT_EQ(m.extension, 0.0765f);
    EXPECT_EQ(m.head_offset, -0.052f);
    EXPECT_EQ(m.tool_offset, (std::array<float, 3>{0.0f, 0.0f, 0.18645f}));
    EXPECT_EQ(m.base_orientation, (std::array<float, 4>{0.0f, 0.7071f, 0.0f, 0.7071f}));
    EXPECT_EQ(m.gear_coefficients, (std::array<float, 3>{1.0f, 1.0f, 1.0f}));

    ArmModel::Instance().SetGearCoefficients({2.0f, 1.0f, 1.0f});
    ArmModel::Instance().SetAngleOffsets({0.1f, 0.2f, 0.3f});
    ConfigureArmModel(0.2f, 0.2f, 0.3f, 0.3f, -0.05f);
    const ArmModelValues reconfigured = ArmModel::Instance().Snapshot();
    EXPECT_EQ(reconfigured.extension, 0.05f);  // stored as its absolute value
    EXPECT_EQ(reconfigured.gear_coefficients[0], 2.0f);  // configuration leaves calibration alone
    EXPECT_EQ(reconfigured.angle_offsets[2], 0.3f);

    ArmModel::Instance().ResetForNewArm();  // a new arm resets the gears but keeps the offsets
    EXPECT_EQ(ArmModel::Instance().Snapshot().gear_coefficients[0], 1.0f);
    EXPECT_EQ(ArmModel::Instance().Snapshot().angle_offsets[2], 0.3f);
}

TEST(ForwardKinematics, DefaultPoseAtZeroRawAngles) {
    const auto p = ForwardKinematics(DefaultModel(), {0, 0, 0});
    EXPECT_NEAR(p[0], 0.0, 1e-4);
    EXPECT_NEAR(p[1], 0.0245, 1e-6);
    EXPECT_NEAR(p[2], -0.1185, 1e-4);
}

TEST(ForwardKinematics, HeadJointTurnsThePointAboutTheVerticalAxis) {
    const ArmModelValues m = DefaultModel();
    const auto a = ForwardKinematics(m, {0, 20, 20});
    const auto b = ForwardKinematics(m, {90, 20, 20});
    // Turning the head keeps the height and the distance from the head's axis.
    EXPECT_NEAR(a[2], b[2], 1e-5);
    EXPECT_NEAR(std::hypot(a[0], a[1]), std::hypot(b[0], b[1]), 1e-5);
    EXPECT_GT(std::fabs(a[0] - b[0]) + std::fabs(a[1] - b[1]), 0.01);

    ArmModelValues doubled = m;
    doubled.gear_coefficients[0] = 2.0f;
    const auto c = ForwardKinematics(doubled, {45, 20, 20});
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(c[i], b[i], 1e-5);  // a doubled head gear makes 45 degrees act as 90
}

TEST(ForwardKinematics, OffsetsCompensateRawAngles) {
    ArmModelValues m = DefaultModel();
    const auto reference = ForwardKinematics(m, {0, 0, 0});
    m.angle_offsets = {10.0f * 3.141592f / 180.0f, -5.0f * 3.141592f / 180.0f, -5.0f * 3.141592f / 180.0f};
    const auto shifted = ForwardKinematics(m, {10, 5, 5});
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(shifted[i], reference[i], 1e-5);
}

TEST(ForwardKinematics, LinksThatCannotMeetGiveNaN) {
    ArmModelValues m = DefaultModel();
    m.inner_arm_2 = 0.01f;
    m.outer_arm_2 = 0.01f;
    const auto p = ForwardKinematics(m, {0, 40, -40});
    EXPECT_TRUE(std::isnan(p[0]) && std::isnan(p[1]) && std::isnan(p[2]));
}

// A NaN anywhere in the model or the angles, or an infinite gear coefficient, must not give a
// finite point: the position would silently come from the joints that are still finite.
TEST(ForwardKinematics, NaNOrInfiniteInputsGiveNaN) {
    const ArmModelValues base = DefaultModel();
    const std::array<float, 3> pose{10.0f, 20.0f, 30.0f};
    auto expect_nan = [&](const ArmModelValues& m, const std::array<float, 3>& raw, const std::string& what) {
        const auto p = ForwardKinematics(m, raw);
        EXPECT_TRUE(std::isnan(p[0]) && std::isnan(p[1]) && std::isnan(p[2]))
            << what << ": " << p[0] << ", " << p[1] << ", " << p[2];
    };
    for (float ArmModelValues::*length : {&ArmModelValues::inner_arm_1, &ArmModelValues::outer_arm_1,
                                          &ArmModelValues::inner_arm_2, &ArmModelValues::outer_arm_2,
                                          &ArmModelValues::extension}) {
        ArmModelValues m = base;
        m.*length = NAN;
        expect_nan(m, pose, "a NaN length");
    }
    for (size_t k = 0; k < 3; ++k) {
        const std::string joint = " of joint " + std::to_string(k);
        std::array<float, 3> raw = pose;
        raw[k] = NAN;
        expect_nan(base, raw, "a NaN angle" + joint);
        ArmModelValues offset = base;
        offset.angle_offsets[k] = NAN;
        expect_nan(offset, pose, "a NaN offset" + joint);
        ArmModelValues geared = base;
        geared.gear_coefficients[k] = INFINITY;
        expect_nan(geared, pose, "an infinite gear coefficient" + joint);
        raw = pose;
        raw[k] = 0.0f;  // infinity times zero
        expect_nan(geared, raw, "an infinite gear coefficient at zero" + joint);
    }
}

TEST(ArmModel, ReadersNeverSeeAHalfWrittenModel) {
    ArmModel& model = ArmModel::Instance();
    model.ResetForNewArm();
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            ConfigureArmModel(0.2f, 0.2f, 0.3f, 0.3f, 0.1f);
            model.ResetForNewArm();
        }
    });
    int torn = 0;
    for (int i = 0; i < 2000; ++i) {
        const ArmModelValues m = model.Snapshot();
        const bool defaults = m.inner_arm_1 == 0.14f && m.outer_arm_1 == 0.14f && m.inner_arm_2 == 0.165f &&
                              m.outer_arm_2 == 0.165f && m.extension == 0.0765f;
        const bool custom = m.inner_arm_1 == 0.2f && m.outer_arm_1 == 0.2f && m.inner_arm_2 == 0.3f &&
                            m.outer_arm_2 == 0.3f && m.extension == 0.1f;
        torn += !(defaults || custom) || m.gear_coefficients[0] != 1.0f;
    }
    writer.join();
    EXPECT_EQ(torn, 0);
    model.ResetForNewArm();
}

}  // namespace
