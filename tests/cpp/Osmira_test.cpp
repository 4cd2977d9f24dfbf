#include "TavixHardwareAPI/Osmira.h"

#include <gtest/gtest.h>

#include <cmath>

#include "FakeDevice.h"
#include "MemoryStream.h"
#include "TavixHardwareAPI/ArmModel.h"

using Tavix::HardwareAPI::ArmModel;
using Tavix::HardwareAPI::UUID;
using Tavix::HardwareAPI::Devices::ComputeEndEffectorPosition;
using Tavix::HardwareAPI::Devices::AdjustAngles;
using Tavix::HardwareAPI::Devices::Osmira;
using Tavix::HardwareAPI::Devices::Vector3;
using tavix_test::Bytes;
using tavix_test::Concat;
using tavix_test::Floats;
using tavix_test::MemoryStream;

namespace {

struct Arm : ::testing::Test {
    Arm() { ArmModel::Instance().SetAngleOffsets({0, 0, 0}); }
    ~Arm() override { ArmModel::Instance().SetAngleOffsets({0, 0, 0}); }

    Bytes JointState(float j0, float j1, float j2) { return Concat({{0x1B}, Floats({j0, j1, j2, 0, 0, 0})}); }

    MemoryStream stream;
    Osmira arm{stream, 0.05f};
};

TEST_F(Arm, WrongReplyLeavesOutputsAndDiscardsOneBufferful) {
    stream.Feed(Concat({{0x1B}, Bytes(1030, 0x33)}));
    Vector3 position{1, 2, 3}, velocity{4, 5, 6};
    testing::internal::CaptureStderr();
    EXPECT_FALSE(arm.ReceiveState(position, velocity));
    // The wrong code is named; the discard found its 1024 bytes and says nothing.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[err] Library/src/Device:170> unexpected reply code 0x1b where 0x2b was due: [74] Bad message\n");
    EXPECT_EQ(position, (Vector3{1, 2, 3}));
    EXPECT_EQ(velocity, (Vector3{4, 5, 6}));
    EXPECT_EQ(stream.Available(), 6);

    stream.Feed(Concat({{0x2B}, Floats({1, 2, 3, 4, 5})}));  // 20 of the 24 payload bytes
    Vector3 current{7, 8, 9};
    testing::internal::CaptureStderr();
    EXPECT_FALSE(arm.ReceiveState(position, velocity));
    EXPECT_FALSE(arm.ReceiveCurrent(current));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(position, (Vector3{1, 2, 3}));
    EXPECT_EQ(current, (Vector3{7, 8, 9}));
}

TEST_F(Arm, AdjustAnglesMakesTheCurrentPoseReadAsTheTrueAngles) {
    // Raw angles (12, -30, 41) under a doubled head gear are declared to be the pose (5, 10, 20).
    ArmModel::Instance().SetGearCoefficients({2.0f, 1.0f, 1.0f});
    stream.Feed(JointState(12, -30, 41));
    AdjustAngles(arm, {5, 10, 20});
    EXPECT_EQ(stream.written, Concat({{0x1A}, Floats({0, 0, 0})}));

    stream.Feed(JointState(12, -30, 41));
    const Vector3 calibrated = ComputeEndEffectorPosition(arm);

    // The same pose under a model without offsets or gears, fed the true angles directly.
    ArmModel::Instance().SetAngleOffsets({0, 0, 0});
    ArmModel::Instance().SetGearCoefficients({1.0f, 1.0f, 1.0f});
    stream.Feed(JointState(5, 10, 20));
    const Vector3 expected = ComputeEndEffectorPosition(arm);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(calibrated[i], expected[i], 1e-6) << i;
}

TEST_F(Arm, ComputeEndEffectorPositionTakesZeroAnglesWhenTheArmIsSilent) {
    testing::internal::CaptureStderr();
    const Vector3 silent = ComputeEndEffectorPosition(arm);
    testing::internal::GetCapturedStderr();
    stream.Feed(JointState(0, 0, 0));
    EXPECT_EQ(silent, ComputeEndEffectorPosition(arm));
    EXPECT_NEAR(silent[1], 0.0245, 1e-6);
}

TEST_F(Arm, SendRawSucceedsOnlyWhenBytesLeaveOnAGoodStream) {
    EXPECT_TRUE(arm.SendRaw("\x01\x02", 2));
    EXPECT_EQ(stream.written, (Bytes{1, 2}));
    EXPECT_FALSE(arm.SendRaw("", 0));
    EXPECT_EQ(stream.write_calls, 1u);
    stream.setstate(std::ios_base::failbit);  // sticky, as after a failed read
    EXPECT_FALSE(arm.SendRaw("\x03", 1));
}

// What the line owes is one ledger per port: a second arm on the same stream sees the reply the
// first one asked for, and a raw read that takes part of it leaves only the rest owed.
TEST_F(Arm, EveryObjectOnAPortSharesWhatItOwesAndRawReadsKeepItTrue) {
    arm.SendForce({1, 1, 1});
    arm.SendDeviceWakeup();
    Osmira other(stream, 0.05f);
    ASSERT_EQ(other.Ledger().Replies(), 2u);
    stream.Feed(Concat({{0x2B}, Floats({1, 2, 3, 4, 5, 6})}));
    char raw[10];
    ASSERT_EQ(other.ReadWithTimeout(raw, sizeof raw, 0.05f), sizeof raw);
    EXPECT_EQ(other.owed_reply().after, 15u);  // the state's last 15 bytes
    EXPECT_EQ(other.Ledger().Replies(), 1u);   // and the wake-up's answer
    stream.Feed(Concat({{0x0B}, Bytes(21, 0x55), {0x2B}, Floats({7, 7, 7, 8, 8, 8})}));
    Vector3 position{}, velocity{};
    EXPECT_TRUE(other.ExchangeForce({0, 0, 0}, position, velocity));
    EXPECT_EQ(position, (Vector3{7, 7, 7}));
    EXPECT_TRUE(other.Ledger().Empty());
    EXPECT_EQ(stream.Available(), 0);
}

TEST(UUID, HexFormKeepsWireOrderAndLeadingZeros) {
    EXPECT_EQ(UUID().ToHex(), std::string(32, '0'));
    const char wire[16] = {'\xAB', '\x01'};
    EXPECT_EQ(UUID(wire).ToHex(), "ab01" + std::string(28, '0'));
    EXPECT_EQ(UUID(wire).bytes()[0], 0xAB);
}

}  // namespace
