// An event count: lets a thread wait for "something new" (a condition it checks itself) without
// polling and without a lock, woken by a notifier that never waits and makes a system call
// only while some thread is waiting (a futex on the count). A real-time thread can notify
// after each of its steps at the cost of two atomic operations when nobody listens.
//
//     waiter:   events.AwaitUntil([&] { return counter.load() > seen; }, deadline);
//     notifier: counter.store(...); events.Notify();
//
// Any number of waiters and notifiers, from any threads. A waiter that checks its condition
// after the notifier changed what it checks never sleeps past that Notify.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace Tavix::HardwareAPI {

class EventCount {
public:
    using Clock = std::chrono::steady_clock;

    // Wakes every thread waiting in AwaitUntil (each rechecks its condition). Never blocks.
    void Notify();

    // Returns true as soon as `ready()` is true, false when `until` passes first. `ready` is
    // called again after each wake-up; it should be cheap and must not throw.
    template <typename Ready>
    bool AwaitUntil(Ready&& ready, Clock::time_point until) {
        waiters.fetch_add(1, std::memory_order_seq_cst);
        bool done = false;
        for (;;) {
            const uint32_t key = count.load(std::memory_order_seq_cst);
            if ((done = ready())) break;
            if (Clock::now() >= until) break;
            Wait(key, until);
        }
        waiters.fetch_sub(1, std::memory_order_seq_cst);
        return done;
    }

private:
    // Sleeps while the count is `key`, until `until` at the latest (or a spurious wake-up).
    void Wait(uint32_t key, Clock::time_point until);

    std::atomic<uint32_t> count{0};  // the futex word: changed by every Notify
    std::atomic<uint32_t> waiters{0};
};

}  // namespace Tavix::HardwareAPI
