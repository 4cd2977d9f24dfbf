// tavix-bridge's run: the arm on a servo loop, its state published and its commands taken
// over DDS until SIGINT or SIGTERM. Returns the exit status: 0 after a signal, 1 when the arm
// cannot be opened or does not answer its wake-up, the DDS domain cannot be joined, or the
// servo loop's watchdog stopped it (each with one line on standard error).
//
// Threads: the servo loop's own; the bridge's thread, which waits on the DDS readers for at
// most a millisecond at a time, takes commands and followed poses as they arrive, updates the
// effects (ConstantForce for the command, Spring for the coupling) every millisecond, publishes
// diagnostics at 1 Hz and sees the stop signals (blocked in every thread, so they stay pending
// until it looks, within a millisecond); the state publisher's, which the loop wakes when a
// publication is due and a state has come; with --handle, a thread that reads the handle's
// status stream and publishes it. None of them takes a lock the servo loop waits on: the loop
// only ever swaps effect tables, writes its telemetry ring and wakes a waiting publisher.
#pragma once

#include "Options.h"

namespace tavix_bridge {

int RunBridge(const Options& options);

}  // namespace tavix_bridge
