// The framed exchange path must not touch the heap: a haptic loop runs it thousands of
// times a second. This binary replaces the global operator new to count every allocation
// made on the counting thread while a test has switched counting on, and every allocation of
// the other threads while a test has switched `counting_others` on.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include "FakeDevice.h"
#include "MemoryStream.h"
#include "TavixHardwareAPI/Device.h"
#include "TavixHardwareAPI/Osmira.h"
#include "TavixHardwareAPI/ServoLoop.h"

namespace {
thread_local bool counting = false;
thread_local size_t allocations = 0;
thread_local bool test_thread = false;
std::atomic<bool> counting_others{false};
std::atomic<size_t> others_allocations{0};

void* Allocate(size_t size) {
    if (counting) ++allocations;
    if (!test_thread && counting_others.load(std::memory_order_relaxed)) others_allocations.fetch_add(1);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

// Counts the allocations made by `work` on this thread.
template <typename Work>
size_t AllocationsDuring(Work&& work) {
    allocations = 0;
    counting = true;
    work();
    counting = false;
    return allocations;
}
}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

using Tavix::HardwareAPI::Devices::Device;
using Tavix::HardwareAPI::Devices::HapticEffect;
using Tavix::HardwareAPI::Devices::Osmira;
using Tavix::HardwareAPI::Devices::ServoLoop;
using Tavix::HardwareAPI::Devices::Vector3;
using Tavix::HardwareAPI::IO::SerialStream;
using tavix_test::Bytes;
using tavix_test::Concat;
using tavix_test::FakeDevice;
using tavix_test::Floats;
using tavix_test::MemoryStream;

constexpr int kExchanges = 100;

TEST(NoAllocation, CountingSeesAllocations) {
    EXPECT_EQ(AllocationsDuring([] { delete new int(1); }), 1u);
}

TEST(NoAllocation, FramedExchangeOverMemory) {
    MemoryStream stream;
    stream.record = false;
    stream.Feed(Concat({{0xBA, 0x00, 0x02, 7, 7}, {0x2B}, Floats({1, 2, 3, 4, 5, 6})}));
    Device device(stream, 1.0f);
    const float force[3] = {0.5f, 0.25f, 0.125f};
    int good = 0;
    EXPECT_EQ(AllocationsDuring([&] {
                  for (int i = 0; i < kExchanges; ++i) {
                      stream.Rewind();
                      device.SendCommand(0x2A, force, 3);
                      good += device.ReadHeaderCode() == 0x2B && device.ReadBytes(24) == 24;
                  }
              }),
              0u);
    EXPECT_EQ(good, kExchanges);
}

TEST(NoAllocation, FramedExchangeOverAPseudoTerminal) {
    FakeDevice fake;
    SerialStream stream(fake.Path().c_str());
    Osmira arm(stream, 1.0f);
    const Bytes reply = Concat({{0x2B}, Floats({1, 2, 3, 4, 5, 6})});
    constexpr int kBatch = 20;  // replies queued ahead, well within the terminal's buffer
    Bytes batch;
    for (int i = 0; i < kBatch; ++i) batch.insert(batch.end(), reply.begin(), reply.end());

    int good = 0;
    for (int round = 0; round < kExchanges / kBatch; ++round) {
        fake.Send(batch);
        Vector3 position{}, velocity{};
        EXPECT_EQ(AllocationsDuring([&] {
                      for (int i = 0; i < kBatch; ++i) {
                          arm.SendForce({0.5f, 0.25f, 0.125f});
                          good += arm.ReceiveState(position, velocity);
                      }
                  }),
                  0u);
        EXPECT_EQ(velocity, (Vector3{4, 5, 6}));
        EXPECT_EQ(fake.Received(13 * kBatch).size(), 13u * kBatch);
    }
    EXPECT_EQ(good, kExchanges);
}

TEST(NoAllocation, ServoLoopIterations) {
    MemoryStream stream;
    stream.record = false;
    stream.Feed(Concat({{0xBB, 0x00, 0x01, 9}, {0x2B}, Floats({0.1f, 0.2f, 0.3f, 1, 2, 3})}));
    stream.repeat_answer = true;  // every request answered by a notification and the state
    Osmira arm(stream, 1.0f);
    ServoLoop::Options options;
    options.max_force = 0.5f;
    options.ramp_seconds = 10.0;
    options.rate_hz = 100000.0;  // the pacing path too
    ServoLoop loop(arm, options);
    loop.AddEffect(HapticEffect::Spring({0, 0, 0}, 100, 1));
    loop.AddEffect(HapticEffect::Wall({0, 0, 0.5f}, {0, 0, 1}, 100, 1));
    const int damping = loop.AddEffect(HapticEffect::Damping(0));

    test_thread = true;  // the loop thread alone is counted
    ASSERT_TRUE(loop.Start());
    while (loop.GetStats().iterations < 100) std::this_thread::yield();  // the thread has started up
    counting_others = true;
    const uint64_t from = loop.GetStats().iterations;
    for (int edit = 0; loop.GetStats().iterations < from + 5000; ++edit)
        loop.SetEffect(damping, HapticEffect::Damping(float(edit % 3)));  // the swap of tables too
    counting_others = false;
    loop.Stop();
    test_thread = false;
    EXPECT_EQ(others_allocations.load(), 0u);
    EXPECT_EQ(loop.GetStats().missed_replies, 0u);
}

}  // namespace
