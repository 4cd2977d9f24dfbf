// Ending a wait early: a check that the library's waits poll while they wait.
//
// Every wait of the library (for reply bytes, for a handle's status frame, for a raw read, for
// a discovery probe, and the polled port reads underneath them) keeps busy-polling as before.
// Once it has waited about a millisecond it also asks the calling thread's cancellation check,
// and then about once a millisecond, so an exchange whose reply is already on its way never
// pays for the check. When the check answers true, the wait ends at once as cancelled, and so
// does every later wait on that thread until the scope ends: the operation unwinds quickly with
// the result it gives for a missing reply, prints no timeout line, and the device remembers
// what its line still owes (see Device::SettleOwed).
//
// A check belongs to one thread: a CancelScope installs it on the thread that creates the
// scope, for the scope's lifetime, and restores the scope it replaced when it ends. A thread
// without a scope is never cancelled. The check runs on the waiting thread.
#pragma once

#include <chrono>

namespace Tavix::HardwareAPI {

class CancelScope {
public:
    // Answers true when the waits should end now. `context` is passed back unchanged.
    using Check = bool (*)(void* context);

    CancelScope(Check check, void* context);
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

    // True once the check has answered true in this scope.
    bool Cancelled() const { return cancelled; }

private:
    friend bool CancellationRequested();
    friend bool Cancelled();

    Check check;
    void* context;
    bool cancelled = false;
    CancelScope* outer;
};

// Asks the calling thread's scope: true when its check answers true now, or did before. False
// on a thread without a scope.
bool CancellationRequested();
// True when the calling thread's scope has been cancelled already; asks no check.
bool Cancelled();

// Paces the cancellation check of one busy-polling wait: Due(now) is true once about a
// millisecond has passed since the wait began, then once a millisecond.
class CancelPacer {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::microseconds kInterval{1000};

    explicit CancelPacer(Clock::time_point start) : next(start + kInterval) {}
    // Asks the calling thread's scope (CancellationRequested) when the check is due at `now`;
    // false before that.
    bool Cancelled(Clock::time_point now);

private:
    Clock::time_point next;
};

}  // namespace Tavix::HardwareAPI
