#include "TavixHardwareAPI/LineOwnership.h"

#include <thread>

namespace Tavix::HardwareAPI::Devices {

LineOwnership::Call LineOwnership::BeginCall(bool wait) {
    if (wait) {
        calls.lock();
    } else if (!calls.try_lock()) {
        return Call::Busy;
    }
    return Admit();
}

LineOwnership::Call LineOwnership::BeginCallWithin(std::chrono::milliseconds limit) {
    return calls.try_lock_for(limit) ? Admit() : Call::Busy;
}

LineOwnership::Call LineOwnership::Admit() {
    if (!driven) return Call::Started;
    calls.unlock();
    return Call::Driven;
}

void LineOwnership::EndCall() { calls.unlock(); }

bool LineOwnership::Claim() {
    const std::lock_guard<std::recursive_timed_mutex> lock(calls);
    if (driven) return false;
    driven = true;
    return true;
}

LineOwnership::Call LineOwnership::ClaimWithin(std::chrono::milliseconds limit) {
    // Polled with try_lock rather than waited for with try_lock_for, whose clock wait
    // (pthread_mutex_clocklock) clang 14's thread sanitizer does not see: it would then report
    // the unlock of a mutex it never saw locked. A claim is rare; the polls cost nothing.
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!calls.try_lock()) {
        if (std::chrono::steady_clock::now() >= end) return Call::Busy;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    const std::lock_guard<std::recursive_timed_mutex> lock(calls, std::adopt_lock);
    if (driven) return Call::Driven;
    driven = true;
    return Call::Started;
}

void LineOwnership::Release() {
    const std::lock_guard<std::recursive_timed_mutex> lock(calls);
    driven = false;
}

bool LineOwnership::Driven() {
    const std::lock_guard<std::recursive_timed_mutex> lock(calls);
    return driven;
}

}  // namespace Tavix::HardwareAPI::Devices
