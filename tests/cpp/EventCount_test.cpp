#include "TavixHardwareAPI/EventCount.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using Tavix::HardwareAPI::EventCount;
using namespace std::chrono_literals;

// Two threads hand a token back and forth, each waiting for its turn: a notification lost
// between a waiter's check and its sleep would leave a waiter asleep until its deadline.
TEST(EventCount, NoWakeUpIsLostInAPingPong) {
    constexpr int kRounds = 2000;
    EventCount events;
    std::atomic<int> token{0};
    int missed = 0;
    std::thread other([&] {
        for (int round = 0; round < kRounds; ++round) {
            if (!events.AwaitUntil([&] { return token.load() == 2 * round + 1; }, EventCount::Clock::now() + 10s)) return;
            token.store(2 * round + 2);
            events.Notify();
        }
    });
    for (int round = 0; round < kRounds; ++round) {
        token.store(2 * round + 1);
        events.Notify();
        if (!events.AwaitUntil([&] { return token.load() == 2 * round + 2; }, EventCount::Clock::now() + 10s)) {
            ++missed;
            break;
        }
    }
    other.join();
    EXPECT_EQ(missed, 0);
    EXPECT_EQ(token.load(), 2 * kRounds);
}

TEST(EventCount, AConditionNeverMetEndsAtTheDeadlineNotBefore) {
    EventCount events;
    const auto until = EventCount::Clock::now() + 30ms;
    std::thread notifier([&] {
        for (int i = 0; i < 5; ++i) events.Notify();  // wake-ups without the condition
    });
    EXPECT_FALSE(events.AwaitUntil([] { return false; }, until));
    EXPECT_GE(EventCount::Clock::now(), until);
    notifier.join();
}
