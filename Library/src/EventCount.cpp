#include "TavixHardwareAPI/EventCount.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

namespace Tavix::HardwareAPI {

// The futex system call works on the count's own 32 bits.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);

void EventCount::Notify() {
    count.fetch_add(1, std::memory_order_seq_cst);
    // Ordered after the count's change: a waiter that registered before it is seen here, and one
    // that registers after it reads the new count and does not sleep on the old one.
    if (waiters.load(std::memory_order_seq_cst) != 0)
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(&count), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void EventCount::Wait(uint32_t key, Clock::time_point until) {
    // steady_clock is CLOCK_MONOTONIC, the clock of FUTEX_WAIT_BITSET's absolute timeout.
    const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch()).count();
    const timespec deadline{static_cast<time_t>(since_epoch / 1000000000), static_cast<long>(since_epoch % 1000000000)};
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&count), FUTEX_WAIT_BITSET_PRIVATE, key, &deadline, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

}  // namespace Tavix::HardwareAPI
