#include "TavixHardwareAPI/ServoLoop.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
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

TEST(HapticEffect, ProblemsAreNamedAndAnyFiniteNonzeroNormalIsNormalised) {
    EXPECT_EQ(HapticEffect::Spring({0, 0, 0}, 10, 1).Problem(), nullptr);
    EXPECT_EQ(HapticEffect::ConstantForce({-3e38f, 0, 0}).Problem(), nullptr);
    EXPECT_NE(HapticEffect::Spring({0, 0, 0}, -10, 1).Problem(), nullptr);
    EXPECT_NE(HapticEffect::Damping(-1).Problem(), nullptr);
    EXPECT_NE(HapticEffect::Wall({0, 0, 0}, {0, 0, 1}, 10, -1).Problem(), nullptr);
    EXPECT_NE(HapticEffect::Wall({0, 0, 0}, {-1, 0, NAN}, 10, 0).Problem(), nullptr);
    EXPECT_NE(HapticEffect::Wall({0, 0, 0}, {INFINITY, 0, 0}, 10, 0).Problem(), nullptr);
    EXPECT_NE(HapticEffect::Wall({0, 0, 0}, {0, 0, 0}, 10, 0).Problem(), nullptr);
    HapticEffect unnormalised = HapticEffect::Wall({0, 0, 0}, {0, 0, 1}, 10, 0);
    unnormalised.vector = {0, 0, 2};
    EXPECT_NE(unnormalised.Problem(), nullptr);
    // Normals whose squares underflow or overflow binary32 still give a unit normal, and a push.
    for (const float size : {1e-30f, 1e-45f, 3e38f}) {
        const HapticEffect wall = HapticEffect::Wall({0, 0, 0}, {-size, 0, size}, 100, 0);
        EXPECT_EQ(wall.Problem(), nullptr) << size;
        ExpectNear(wall.vector, {-std::sqrt(0.5f), 0, std::sqrt(0.5f)});
        ExpectNear(wall.Force({0.01f, 0, -0.01f}, {}), {-1, 0, 1});
    }
}

TEST(ServoLoop, OptionsOutOfRangeAreNamed) {
    EXPECT_EQ(ServoLoop::Problem(ServoLoop::Options{}), nullptr);
    const std::vector<std::function<void(ServoLoop::Options&)>> out_of_range = {
        [](ServoLoop::Options& o) { o.telemetry_size = SIZE_MAX; },  // size + 1 wraps to 0
        [](ServoLoop::Options& o) { o.telemetry_size = 0; },
        [](ServoLoop::Options& o) { o.telemetry_size = ServoLoop::kMaxTelemetrySize + 1; },
        [](ServoLoop::Options& o) { o.rate_hz = -1; },
        [](ServoLoop::Options& o) { o.rate_hz = INFINITY; },
        [](ServoLoop::Options& o) { o.rate_hz = 1e-30; },  // a tick period beyond the clock's range
        [](ServoLoop::Options& o) { o.reply_timeout = 0; },
        [](ServoLoop::Options& o) { o.reply_timeout = 1e30; },
        [](ServoLoop::Options& o) { o.watchdog_misses = 0; },
        [](ServoLoop::Options& o) { o.max_force = INFINITY; },
        [](ServoLoop::Options& o) { o.max_force = NAN; },
        [](ServoLoop::Options& o) { o.max_force = 0; },
        [](ServoLoop::Options& o) { o.ramp_seconds = INFINITY; },
        [](ServoLoop::Options& o) { o.ramp_seconds = -1; },
        [](ServoLoop::Options& o) { o.spin_seconds = NAN; },
        [](ServoLoop::Options& o) { o.priority = -1; },
        [](ServoLoop::Options& o) { o.priority = 100; },
        [](ServoLoop::Options& o) { o.cpu = -2; },
        [](ServoLoop::Options& o) { o.cpu = CPU_SETSIZE; },
    };
    for (size_t i = 0; i < out_of_range.size(); ++i) {
        ServoLoop::Options options;
        out_of_range[i](options);
        EXPECT_NE(ServoLoop::Problem(options), nullptr) << "case " << i;
    }
    ServoLoop::Options fits;
    fits.rate_hz = 1.0 / ServoLoop::kLongestSeconds;
    fits.ramp_seconds = 1e300;
    fits.spin_seconds = -INFINITY;
    fits.telemetry_size = ServoLoop::kMaxTelemetrySize;
    EXPECT_EQ(ServoLoop::Problem(fits), nullptr);
}

// A memory device that stalls the reply to one request (the `stall_at`th write) for `stall`.
struct StallingStream : MemoryStream {
    void Write(const char* data, size_t n) override {
        if (write_calls == stall_at) std::this_thread::sleep_for(stall);
        MemoryStream::Write(data, n);
    }
    size_t stall_at = 0;
    std::chrono::milliseconds stall{0};
};

TEST(ServoLoop, APacedLoopSkipsTheTicksAStallMissedAndNeverBursts) {
    constexpr size_t kStallAt = 20;
    constexpr double kRate = 1000.0;
    StallingStream stream;
    stream.stall_at = kStallAt;
    stream.stall = std::chrono::milliseconds(20);
    stream.answers.assign(kStallAt + 80, State({}, {}));
    Osmira arm{stream, 1.0f};
    ServoLoop::Options options = Quick();
    options.rate_hz = kRate;
    options.reply_timeout = 0.1;  // the stalled reply still counts as answered
    options.telemetry_size = 1000;
    ServoLoop loop(arm, options);
    ASSERT_TRUE(loop.Start());
    ASSERT_TRUE(StopsWithin(loop, std::chrono::seconds(10)));
    std::vector<ServoLoop::Sample> samples(1000);
    samples.resize(loop.CopyTelemetry(samples.data(), samples.size()));
    ASSERT_GT(samples.size(), kStallAt + 40);
    const ServoLoop::Sample& stalled = samples[kStallAt];
    ASSERT_GE(stalled.round_trip, 0.02f);
    // A loop that caught up on the missed ticks would make about 20 iterations at once after the
    // stall; one on schedule makes one a period.
    const double resumed = stalled.time + stalled.round_trip;
    const auto in_window = std::count_if(samples.begin(), samples.end(), [&](const ServoLoop::Sample& s) {
        return s.time > resumed && s.time <= resumed + 0.02;
    });
    EXPECT_LE(in_window, 22);
    EXPECT_GE(loop.GetStats().late_ticks, 20u);  // the ticks of the stall, each counted
}

// A Hurry makes one exchange between two ticks, at once, with the effects just set; more of
// them before the same tick make none; the tick itself comes at its time.
TEST(ServoLoop, HurryMakesOneExchangeBeforeTheNextTickAndKeepsTheSchedule) {
    MemoryStream stream;
    stream.answers.assign(10, State({}, {}));
    Osmira arm{stream, 1.0f};
    ServoLoop::Options options = Quick();
    options.rate_hz = 1.0;  // ticks a second apart: every exchange before 1 s is a hurried one
    options.reply_timeout = 0.5;
    ServoLoop loop(arm, options);
    const int push = loop.AddEffect(HapticEffect::ConstantForce({0, 0, 0}));
    ASSERT_TRUE(loop.Start());
    const auto started = ServoLoop::Clock::now();
    ASSERT_EQ(loop.AwaitIteration(0, started + std::chrono::milliseconds(500)), 1u);

    ASSERT_TRUE(loop.SetEffect(push, HapticEffect::ConstantForce({1, 0, 0})));
    loop.Hurry();
    EXPECT_EQ(loop.AwaitIteration(1, started + std::chrono::milliseconds(900)), 2u);
    for (int i = 0; i < 5; ++i) loop.Hurry();
    EXPECT_EQ(loop.AwaitIteration(2, started + std::chrono::milliseconds(900)), 2u);  // none more before the tick
    ASSERT_EQ(loop.AwaitIteration(2, started + std::chrono::seconds(5)), 3u);
    loop.Stop();
    EXPECT_EQ(loop.GetStats().hurried, 1u);

    std::vector<ServoLoop::Sample> samples(3);
    ASSERT_EQ(loop.CopyTelemetry(samples.data(), 3), 3u);
    EXPECT_LT(samples[1].time, 0.9);
    EXPECT_GE(samples[2].time, 1.0 - 1e-6);  // the tick at its time, not moved by the extra exchange
    const std::vector<Vector3> forces = Forces(stream.written);
    ASSERT_GE(forces.size(), 3u);
    ExpectNear(forces[1], {1, 0, 0});
}

// Takes `capability` out of the calling thread's effective set (threads it starts inherit it).
bool DropCapability(int capability) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[capability / 32].effective &= ~(1u << (capability % 32));
    return syscall(SYS_capset, &header, data) == 0;
}

// In a child process: a loop asks for real-time priority where the system refuses it
// (RLIMIT_RTPRIO 0, no CAP_SYS_NICE), twice. Exits 0 when both runs ran, unprivileged, and the
// stats say so; the refusal lines go to standard error.
[[noreturn]] void RunWithARefusedPriority() {
    const rlimit none{0, 0};
    if (setrlimit(RLIMIT_RTPRIO, &none) != 0 || !DropCapability(CAP_SYS_NICE)) _exit(2);
    MemoryStream stream;
    stream.Feed(State({}, {}));
    stream.repeat_answer = true;
    Osmira arm{stream, 1.0f};
    ServoLoop::Options options = Quick();
    options.rate_hz = 1000.0;
    options.priority = 50;
    ServoLoop loop(arm, options);
    for (int run = 0; run < 2; ++run) {
        if (!loop.Start()) _exit(3);
        const uint64_t until = loop.Iterations() + 5;
        while (loop.Iterations() < until && loop.Running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const ServoLoop::Stats stats = loop.GetStats();
        loop.Stop();
        if (stats.iterations < until || stats.priority != 0) _exit(4);
    }
    _exit(0);
}

TEST(ServoLoopDeathTest, ARefusedPriorityIsNamedOnceAndTheLoopRunsWithout) {
    EXPECT_EXIT(RunWithARefusedPriority(), testing::ExitedWithCode(0),
                "^ServoLoop: real-time priority 50 refused \\(RLIMIT_RTPRIO is 0; CAP_SYS_NICE missing; [^\n]*\\): "
                "running at normal priority\n$");
}

TEST(ServoLoop, StatsSayWhichProcessorTheLoopWasPinnedTo) {
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    int last = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) last = CPU_ISSET(cpu, &allowed) ? cpu : last;
    ServoLoop::Options options = Quick();
    options.cpu = last;
    ScriptedLoop pinned(std::vector<Bytes>(3, State({}, {})), options);
    EXPECT_EQ(pinned.loop.GetStats().cpu, -1);  // nothing granted before a run
    pinned.RunToSilence();
    const ServoLoop::Stats stats = pinned.loop.GetStats();
    EXPECT_EQ(stats.cpu, last);
    EXPECT_EQ(stats.priority, 0);
    EXPECT_FALSE(stats.lock_memory);
}

TEST(ServoLoop, HugeForcesAreClampedInTheirDirectionNeverDropped) {
    // 1 cm beyond a wall of 1e22 per unit (a push of 1e20, whose square overflows binary32),
    // plus two constant forces whose sum overflows binary32.
    ScriptedLoop wall(std::vector<Bytes>(2, State({0, 0, -0.01f}, {})), Quick(2.0f));
    wall.loop.AddEffect(HapticEffect::Wall({0, 0, 0}, {0, 0, 1}, 1e22f, 0));
    const std::vector<Vector3> pushed = wall.RunToSilence();
    ASSERT_EQ(pushed.size(), 5u);  // zero, three pushes (two unanswered), the final zero
    for (size_t i = 1; i < 4; ++i) ExpectNear(pushed[i], {0, 0, 2});

    ScriptedLoop sum(std::vector<Bytes>(1, State({}, {})), Quick(2.0f));
    sum.loop.AddEffect(HapticEffect::ConstantForce({3e38f, 0, -3e38f}));
    sum.loop.AddEffect(HapticEffect::ConstantForce({3e38f, 0, -3e38f}));
    const std::vector<Vector3> summed = sum.RunToSilence();
    ASSERT_EQ(summed.size(), 4u);
    for (size_t i = 1; i < 3; ++i) ExpectNear(summed[i], {std::sqrt(2.0f), 0, -std::sqrt(2.0f)});

    // Options out of range are clamped when the loop is made, never towards more force: an
    // infinite max_force is the largest finite one, an infinite ramp never fades in.
    ServoLoop::Options unlimited = Quick();
    unlimited.max_force = INFINITY;
    ScriptedLoop unclamped(std::vector<Bytes>(1, State({}, {})), unlimited);
    unclamped.loop.AddEffect(HapticEffect::ConstantForce({3, 0, -4}));
    ExpectNear(unclamped.RunToSilence()[1], {3, 0, -4});
    ServoLoop::Options endless = Quick();
    endless.ramp_seconds = INFINITY;
    ScriptedLoop ramp(std::vector<Bytes>(1, State({}, {})), endless);
    ramp.loop.AddEffect(HapticEffect::ConstantForce({3, 0, -4}));
    for (const Vector3& f : ramp.RunToSilence()) ExpectNear(f, {0, 0, 0});
}

TEST(ServoLoop, StartAndStopFromManyThreadsAtOnceAllReturn) {
    MemoryStream stream;
    stream.Feed(State({}, {}));
    stream.repeat_answer = true;
    Osmira arm(stream, 1.0f);
    ServoLoop::Options options = Quick();
    options.watchdog_misses = 1000000;  // runs until stopped, also once the replies are used up
    ServoLoop loop(arm, options);
    loop.AddEffect(HapticEffect::ConstantForce({1, 2, 3}));
    constexpr int kThreads = 6;
    for (int round = 0; round < 20; ++round) {
        // Even rounds: starters and stoppers; odd rounds: a running loop and only stoppers.
        if (round % 2 == 1) {
            loop.Start();
            ASSERT_TRUE(loop.Running());
        }
        std::atomic<int> waiting{kThreads};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                waiting.fetch_sub(1);
                while (waiting.load() > 0) std::this_thread::yield();
                if (round % 2 == 0 && i % 2 == 0) {
                    loop.Start();
                } else {
                    loop.Stop();
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
        if (round % 2 == 1) {
            EXPECT_FALSE(loop.Running());
        }
    }
    loop.Stop();
    EXPECT_FALSE(loop.Running());
    const std::vector<Vector3> forces = Forces(stream.written);
    ASSERT_FALSE(forces.empty());
    ExpectNear(forces.back(), {0, 0, 0});
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
