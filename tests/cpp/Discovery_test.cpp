#include "TavixHardwareAPI/Discovery.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "FakeDevice.h"
#include "TavixHardwareAPI/ArmModel.h"

using namespace Tavix::HardwareAPI;
using tavix_test::Bytes;
using tavix_test::Concat;
using tavix_test::FakeDevice;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

Bytes ArmIdentity(uint8_t model) {
    Bytes record{0x0B, 0x34, 0x12, model, 2, 7};
    for (uint8_t i = 0; i < 16; ++i) record.push_back(i);
    return record;
}

TEST(Probes, ArmIsToldByTheModelByteOfItsIdentityRecord) {
    FakeDevice arm, other_model;
    arm.Send(ArmIdentity(4));  // waiting before the wake-up: answered at once
    other_model.Send(ArmIdentity(3));
    EXPECT_EQ(ProbeOsmiraPort(arm.Path().c_str()), 1);
    EXPECT_EQ(ProbeOsmiraPort(other_model.Path().c_str()), 0);
    EXPECT_EQ(arm.Received(1), (Bytes{0x0A}));
    EXPECT_EQ(ProbeOsmiraPort("/nonexistent/ttyACM0"), 0);
}

TEST(Probes, HandleAnswersWithInformationOrStatusButNotAnError) {
    FakeDevice info, status, error;
    info.Send({0xD0, 0, 0x34, 0x12, 2, 3, 4});
    status.Send(Concat({{0xDA}, Bytes(20), {2, 0xAA, 0xBB}}));
    error.Send({0xDF, 7, 0, 42});
    EXPECT_EQ(ProbeHandlePort(info.Path().c_str()), 1);
    EXPECT_EQ(ProbeHandlePort(status.Path().c_str()), 1);
    EXPECT_EQ(ProbeHandlePort(error.Path().c_str()), 0);
    EXPECT_EQ(info.Received(1), (Bytes{0x0A}));
    info.Send({0xD0, 0, 0x34, 0x12, 2, 3, 4});
    EXPECT_TRUE(CheckHandlePort(info.Path().c_str()));
}

int SlowYes(const char*) {
    std::this_thread::sleep_for(milliseconds(300));
    return 1;
}
int FailingProbe(const char*) { throw std::runtime_error("probe broke"); }
int SlowFailingProbe(const char*) {
    std::this_thread::sleep_for(milliseconds(200));
    throw std::runtime_error("late probe broke");
}

TEST(TimedProbe, ALateAnswerDoesNotCountButIsWaitedFor) {
    const auto start = Clock::now();
    EXPECT_FALSE(TimedProbe(&SlowYes, "x", milliseconds(50)));
    EXPECT_GE(Clock::now() - start, milliseconds(300));
    EXPECT_TRUE(TimedProbe(&SlowYes, "x", milliseconds(5000)));
}

TEST(TimedProbe, AnErrorInTimeIsPrintedAndALateOneLeavesTheCall) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(TimedProbe(&FailingProbe, "x", milliseconds(5000)));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "probe broke\n");
    EXPECT_THROW(TimedProbe(&SlowFailingProbe, "x", milliseconds(20)), std::runtime_error);
}

// The arm probe resets the process-wide model from its worker thread while this thread
// reads it: under ThreadSanitizer this shows that they do not race.
TEST(TimedProbe, ArmProbeThreadAndModelReadersDoNotRace) {
    FakeDevice arm;
    arm.Send(ArmIdentity(4));
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) (void)ForwardKinematics(ArmModel::Instance().Snapshot(), {0, 0, 0});
    });
    EXPECT_TRUE(TimedProbe(&ProbeOsmiraPort, arm.Path(), milliseconds(3000)));
    done = true;
    reader.join();
    EXPECT_EQ(ArmModel::Instance().Snapshot().inner_arm_1, kDefaultInnerArm1);
}

}  // namespace
