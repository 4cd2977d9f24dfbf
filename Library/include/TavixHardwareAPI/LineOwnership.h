// Who may put frames on one device's line when several threads hold the device: calls made
// one at a time (the Python bindings start and end one around each method), or a servo loop
// that drives the line alone while it runs.
//
// A loop's claim waits for a call in progress to end, and a call that starts while a loop
// drives the line is refused before it sends anything, so the frames of two threads never
// interleave. Calls of one thread may nest (a Python override called back from inside a call).
#pragma once

#include <chrono>
#include <mutex>

namespace Tavix::HardwareAPI::Devices {

class LineOwnership {
public:
    enum class Call { Started, Busy, Driven };

    // Starts one call: Started (the line is this thread's until EndCall), Driven (nothing
    // taken) while a loop drives the line, or, only when `wait` is false, Busy while a call
    // of another thread is in progress.
    Call BeginCall(bool wait);
    // BeginCall that waits at most `limit` for a call of another thread to end (Busy after
    // that), so that the waiting caller can attend to other things between tries.
    Call BeginCallWithin(std::chrono::milliseconds limit);
    void EndCall();

    // Marks the line driven by a loop, after any call in progress has ended. False when a
    // loop drives it already.
    bool Claim();
    // Claim that waits at most `limit` for a call in progress: Started (claimed), Driven (a
    // loop drives the line already) or Busy (the call goes on; nothing taken).
    Call ClaimWithin(std::chrono::milliseconds limit);
    void Release();
    bool Driven();

private:
    // Called with `calls` taken: keeps it for a call, or gives it back while a loop drives.
    Call Admit();

    std::recursive_timed_mutex calls;
    bool driven = false;  // guarded by `calls`
};

}  // namespace Tavix::HardwareAPI::Devices
