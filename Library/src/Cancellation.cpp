#include "TavixHardwareAPI/Cancellation.h"

namespace Tavix::HardwareAPI {

namespace {
thread_local CancelScope* current = nullptr;
}  // namespace

CancelScope::CancelScope(Check check, void* context) : check(check), context(context), outer(current) {
    current = this;
}

CancelScope::~CancelScope() { current = outer; }

bool CancellationRequested() {
    CancelScope* scope = current;
    if (scope == nullptr) return false;
    if (!scope->cancelled && scope->check(scope->context)) scope->cancelled = true;
    return scope->cancelled;
}

bool Cancelled() { return current != nullptr && current->cancelled; }

bool CancelPacer::Cancelled(Clock::time_point now) {
    if (now < next) return false;
    next = now + kInterval;
    return CancellationRequested();
}

}  // namespace Tavix::HardwareAPI
