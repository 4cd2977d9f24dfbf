#include "TavixHardwareAPI/ServoLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "FakeDevice.h"
#include "MemoryStream.h"

namespace {

using Tavix::HardwareAPI::Devices::HapticEffect;
using Tavix::HardwareAPI::Devices::LineOwnership;
using Tavix::HardwareAPI::Devices::Osmira;
using Tavix::HardwareAPI::Devices::ServoLoop;
using Tavix::HardwareAPI::Devices::Vector3;
using Tavix::HardwareAPI::IO::SerialStream;
using tavix_test::Bytes;
using tavix_test::Concat;
using tavix_test::FakeDevice;
using tavix_test::Floats;
using tavix_test::MemoryStream;
using StopReason = ServoLoop::StopReason;

Bytes State(const Vector3& position, const Vector3& velocity) {
    return Concat({{0x2B}, Floats({position[0], position[1], position[2], velocity[0], velocity[1], velocity[2]})});
}

// The force of every 13-byte force frame written, in order.
std::vector<Vector3> Forces(const Bytes& written) {
    std::vector<Vector3> forces;
    for (size_t at = 0; at + 13 <= written.size(); at += 13) {
        EXPECT_EQ(written[at], 0x2A);
        Vector3 f;
        std::memcpy(f.data(), written.data() + at + 1, 12);
        forces.push_back(f);
    }
    EXPECT_EQ(written.size() % 13, 0u);
    return forces;
}

void ExpectNear(const Vector3& got, const Vector3& want) {
    for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(got[i], want[i], 1e-5f) << "component " << i;
}

// Waits (bounded) until a loop has stopped by itself.
bool StopsWithin(const ServoLoop& loop, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (loop.Running() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return !loop.Running();
}

ServoLoop::Options Quick(float max_force = 100.0f) {
    ServoLoop::Options options;
    options.max_force = max_force;
    options.reply_timeout = 0.01;
    options.watchdog_misses = 2;
    return options;
}

// A loop over a memory stream that answers its requests with the given replies and then falls
// silent: the loop runs through them and its watchdog stops it.
struct ScriptedLoop {
    explicit ScriptedLoop(const std::vector<Bytes>& replies, const ServoLoop::Options& options = Quick()) : loop(arm, options) {
        stream.answers.assign(replies.begin(), replies.end());
    }
    std::vector<Vector3> RunToSilence() {
        EXPECT_TRUE(loop.Start());
        EXPECT_TRUE(StopsWithin(loop, std::chrono::seconds(10)));
        loop.Stop();
        return Forces(stream.written);
    }

    MemoryStream stream;
    Osmira arm{stream, 1.0f};
    ServoLoop loop;
};

TEST(HapticEffect, ForcesMatchHandComputedValues) {
    const Vector3 p{0.1f, -0.2f, 0.3f}, v{1.0f, 2.0f, -1.0f};
    // -k (p - c) - b v = -100 (0.1, -0.3, 0.2) - 2 (1, 2, -1)
    ExpectNear(HapticEffect::Spring({0, 0.1f, 0.1f}, 100, 2).Force(p, v), {-12, 26, -18});
    ExpectNear(HapticEffect::Damping(3).Force(p, v), {-3, -6, 3});
    ExpectNear(HapticEffect::ConstantForce({1, 2, 3}).Force(p, v), {1, 2, 3});
    // Plane z = 0.5 with normal +z (given unnormalised): the point is 0.2 beyond it; moving
    // down at 1 adds damping: 50 * 0.2 - 4 * (-1) = 14 along +z.
    ExpectNear(HapticEffect::Wall({9, 9, 0.5f}, {0, 0, 7}, 50, 4).Force(p, v), {0, 0, 14});
    // On the free side, no force; beyond it but leaving fast, no pull either.
    ExpectNear(HapticEffect::Wall({0, 0, 0.2f}, {0, 0, 1}, 50, 4).Force(p, v), {0, 0, 0});
    ExpectNear(HapticEffect::Wall({0, 0, 0.5f}, {0, 0, 1}, 50, 4).Force(p, {0, 0, 10}), {0, 0, 0});
    EXPECT_FALSE(HapticEffect::Spring({NAN, 0, 0}, 1, 1).Finite());
}

TEST(ServoLoop, EffectsAreSummedFromTheLastStateAndTheLastCommandIsZero) {
    const Vector3 p1{0.1f, 0.0f, -0.1f}, v1{0.5f, 0.0f, 0.0f};
    const Vector3 p2{0.0f, 0.2f, 0.0f}, v2{0.0f, 0.0f, 1.0f};
    ScriptedLoop s({State(p1, v1), State(p2, v2)});
    EXPECT_GT(s.loop.AddEffect(HapticEffect::Spring({0, 0, 0}, 10, 1)), 0);
    EXPECT_GT(s.loop.AddEffect(HapticEffect::Damping(2)), 0);
    EXPECT_GT(s.loop.AddEffect(HapticEffect::Wall({0, 0, 0}, {0, 0, 1}, 20, 0)), 0);
    EXPECT_GT(s.loop.AddEffect(HapticEffect::ConstantForce({0, 0, 1})), 0);
    const std::vector<Vector3> forces = s.RunToSilence();

    // Zero before any state; then from state 1: spring (-1, 0, 1) - (0.5, 0, 0), damping
    // (-1, 0, 0), wall 20 * 0.1 along z, constant (0, 0, 1); then from state 2: spring
    // (0, -2, 0) - (0, 0, 1), damping (0, 0, -2), no wall (on the plane), constant.
    // Two silent tries (the second after waiting for the first one's reply once more), then
    // the final zero.
    ASSERT_EQ(forces.size(), 5u);
    ExpectNear(forces[0], {0, 0, 0});
    ExpectNear(forces[1], {-2.5f, 0, 4});
    ExpectNear(forces[2], {0, -2, -2});
    ExpectNear(forces[3], {0, -2, -2});
    ExpectNear(forces[4], {0, 0, 0});

    const ServoLoop::Stats stats = s.loop.GetStats();
    EXPECT_EQ(stats.stop_reason, StopReason::MissedReplies);
    EXPECT_EQ(stats.iterations, 4u);
    EXPECT_EQ(stats.missed_replies, 2u);
    EXPECT_FALSE(stats.running);
}

TEST(ServoLoop, ClampKeepsDirectionAndRampFadesIn) {
    ScriptedLoop clamped(std::vector<Bytes>(3, State({}, {})), Quick(1.0f));
    clamped.loop.AddEffect(HapticEffect::ConstantForce({3, 0, -4}));
    const std::vector<Vector3> limited = clamped.RunToSilence();
    ASSERT_EQ(limited.size(), 6u);  // zero, four forces (two unanswered), the final zero
    for (size_t i = 1; i < 5; ++i) ExpectNear(limited[i], {0.6f, 0, -0.8f});

    ServoLoop::Options options = Quick();
    options.ramp_seconds = 1000.0;  // a long ramp: the forces of a short run are a sliver of the full force
    ScriptedLoop ramped(std::vector<Bytes>(20, State({}, {})), options);
    ramped.loop.AddEffect(HapticEffect::ConstantForce({10, 0, 0}));
    const std::vector<Vector3> forces = ramped.RunToSilence();
    ASSERT_GE(forces.size(), 20u);
    EXPECT_GT(forces[1][0], 0.0f);
    EXPECT_GT(forces[forces.size() - 2][0], forces[1][0]);
    EXPECT_LT(forces[forces.size() - 2][0], 0.1f);  // reached only after 10 s of ramp
}

TEST(ServoLoop, StopRequestEndsWithZeroAndHandsTheLineBack) {
    MemoryStream stream;
    stream.Feed(State({}, {}));
    stream.repeat_answer = true;
    Osmira arm(stream, 1.0f);
    ServoLoop loop(arm, Quick());
    loop.AddEffect(HapticEffect::ConstantForce({1, 2, 3}));
    ASSERT_TRUE(loop.Start());
    EXPECT_EQ(arm.SharedLine().ownership.BeginCall(false), LineOwnership::Call::Driven);
    ServoLoop second(arm, Quick());
    EXPECT_FALSE(second.Start());  // one loop drives an arm at a time
    while (loop.GetStats().iterations < 10) std::this_thread::yield();
    loop.Stop();

    const std::vector<Vector3> forces = Forces(stream.written);
    ASSERT_GE(forces.size(), 11u);
    ExpectNear(forces.back(), {0, 0, 0});
    for (size_t i = 1; i + 1 < forces.size(); ++i) ExpectNear(forces[i], {1, 2, 3});
    EXPECT_EQ(loop.GetStats().stop_reason, StopReason::Requested);
    ASSERT_EQ(arm.SharedLine().ownership.BeginCall(false), LineOwnership::Call::Started);
    arm.SharedLine().ownership.EndCall();
}

TEST(ServoLoop, TelemetryKeepsTheNewestSamplesInOrder) {
    std::vector<Bytes> replies;
    for (int i = 1; i <= 6; ++i) replies.push_back(State({float(i), 0, 0}, {0, float(-i), 0}));
    ServoLoop::Options options = Quick();
    options.telemetry_size = 4;
    ScriptedLoop s(replies, options);
    s.RunToSilence();

    std::vector<ServoLoop::Sample> samples(10);
    ASSERT_EQ(s.loop.CopyTelemetry(samples.data(), samples.size()), 4u);  // 6 replies, 2 silent tries
    EXPECT_TRUE(samples[0].replied && samples[1].replied);
    EXPECT_FALSE(samples[2].replied || samples[3].replied);
    EXPECT_EQ(samples[0].position[0], 5.0f);
    EXPECT_EQ(samples[1].velocity[1], -6.0f);
    EXPECT_EQ(samples[3].position[0], 6.0f);  // a missing reply keeps the last state
    for (size_t i = 1; i < 4; ++i) EXPECT_GT(samples[i].time, samples[i - 1].time);
    EXPECT_GE(samples[3].round_trip, 0.009f);  // a silent try waits its reply timeout
    ASSERT_EQ(s.loop.CopyTelemetry(samples.data(), 2), 2u);
    EXPECT_EQ(samples[1].position[0], 6.0f);
}

TEST(ServoLoop, WatchdogOnAPulledCable) {
    FakeDevice fake;
    SerialStream stream(fake.Path().c_str());
    Osmira arm(stream, 1.0f);
    ServoLoop::Options options = Quick();
    options.watchdog_misses = 1000000;  // only the closed port can stop it
    ServoLoop loop(arm, options);
    ASSERT_TRUE(loop.Start());
    fake.Received(13);  // the loop is on the line
    fake.HangUp();
    ASSERT_TRUE(StopsWithin(loop, std::chrono::seconds(10)));
    EXPECT_EQ(loop.GetStats().stop_reason, StopReason::PortClosed);
    EXPECT_FALSE(stream.IsOpen());
}

TEST(ServoLoop, EditsFromAnotherThreadNeverTearAnEffect) {
    MemoryStream stream;
    stream.Feed(State({}, {}));
    stream.repeat_answer = true;
    Osmira arm(stream, 1.0f);
    ServoLoop loop(arm, Quick());
    const int id = loop.AddEffect(HapticEffect::ConstantForce({1, 1, 1}));
    ASSERT_TRUE(loop.Start());
    std::thread editor([&] {
        for (int i = 2; i < 50000; ++i) {
            const float v = float(i);
            EXPECT_TRUE(loop.SetEffect(id, HapticEffect::ConstantForce({v, v, v})));
            const int extra = loop.AddEffect(HapticEffect::ConstantForce({v, v, v}));
            EXPECT_TRUE(loop.RemoveEffect(extra));
        }
    });
    editor.join();
    EXPECT_FALSE(loop.RemoveEffect(id + 100000));
    loop.Stop();
    for (const Vector3& f : Forces(stream.written)) {
        EXPECT_EQ(f[0], f[1]);
        EXPECT_EQ(f[1], f[2]);
    }
}

TEST(LineOwnership, CallsNestAndWaitForEachOther) {
    LineOwnership line;
    ASSERT_EQ(line.BeginCall(false), LineOwnership::Call::Started);
    ASSERT_EQ(line.BeginCall(false), LineOwnership::Call::Started);  // nested on this thread
    LineOwnership::Call other = LineOwnership::Call::Started;
    std::thread([&] { other = line.BeginCall(false); }).join();
    EXPECT_EQ(other, LineOwnership::Call::Busy);
    line.EndCall();
    line.EndCall();
    EXPECT_TRUE(line.Claim());
    EXPECT_FALSE(line.Claim());
    EXPECT_EQ(line.BeginCall(true), LineOwnership::Call::Driven);
    line.Release();
    EXPECT_EQ(line.BeginCall(true), LineOwnership::Call::Started);
    line.EndCall();
}

}  // namespace
