#include "TavixHardwareAPI/LineOwnership.h"

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

void LineOwnership::Release() {
    const std::lock_guard<std::recursive_timed_mutex> lock(calls);
    driven = false;
}

bool LineOwnership::Driven() {
    const std::lock_guard<std::recursive_timed_mutex> lock(calls);
    return driven;
}

}  // namespace Tavix::HardwareAPI::Devices
