// A native servo loop: a thread that owns one Osmira while it runs and renders haptic effects
// at the rate the line answers (or at a fixed rate), with safety limits and telemetry, so that
// no interpreter or allocator ever stands between two force exchanges.
//
// Each iteration: (1) the force of the active effects (HapticEffect), summed, from the last
// state the arm reported; (2) the safety limits: the fade-in ramp, then the norm clamped to
// max_force (direction kept); (3) one force exchange (SendForce + ReceiveState), timed and
// recorded. The effects are summed and limited in double precision, so a huge but finite force
// is clamped to max_force in its direction, never lost; only a force with a non-finite entry
// (from a non-finite state) becomes zero. Until the first state has come back the loop
// commands zero force.
//
// Pacing (rate_hz > 0): tick k of a run is due at its start + k / rate_hz, on the monotonic
// clock, so no error accumulates. The loop sleeps (an absolute clock_nanosleep) until shortly
// before a tick, then waits actively for the rest; how early it wakes follows the sleep's
// measured overshoot (a decaying maximum, kept between kMinWakeMargin and kMaxWakeMargin). An
// iteration that ends after its next tick was due makes every tick passed by then late (counted
// in late_ticks): the next iteration starts at once and the schedule goes on from the next tick
// due after it, skipping the missed ones, never in a burst. Hurry asks for one exchange between
// two ticks, for an effect that should not wait for the next tick; the ticks keep their times.
//
// Scheduling (priority, cpu, lock_memory) is applied by the loop's thread when each run
// starts. A request the system refuses leaves the loop running as it would without it, with
// one line on standard error per option and loop naming the limit; Stats say what was granted.
//
// Units: forces in the arm's force unit, positions in the unit of the arm's link lengths,
// times in seconds (see HapticEffect for the effects' parameters).
//
// Stopping: Stop(), the owner's destructor, or the watchdog (a closed port, or
// watchdog_misses replies in a row missing for reply_timeout each, so within about
// watchdog_misses x reply_timeout of the last reply). A missing reply stays owed
// (ReplyLedger), and the loop keeps one request on the line at a time: the next iteration
// awaits it, for one more reply_timeout, before another request goes out, so that a late
// answer is never taken for a later request. A reply missing for two reply timeouts is taken
// as lost (a line that drops a reply costs two misses, not the loop); should it come after
// all, it is discarded before the next request, and at a stop it is owed again to the arm's
// next caller. `replied` is true only for the answer to that iteration's own request (a reply
// later than twice reply_timeout cannot be told from a lost one); `force` is the force the arm
// was last commanded. Every wait of the loop ends within about a millisecond of a stop
// request (a CancelScope reads the stop flag). The last command of a run is always a zero
// force, where the port is still open, through the same exchange as every frame, its waits
// bounded by kStopWait; what has not come by then stays owed to the arm's next caller, who
// settles it before its own request. StopReason tells why a run ended.
//
// Threads: effects may be added, changed and removed from any thread while the loop runs;
// the loop never waits for an editor (three effect tables passed by atomic exchange) and never
// allocates. Telemetry and statistics may be read from any thread. Start and Stop may be called
// from any number of threads at once: they take turns (a mutex of their own), every call
// returns, Stop is idempotent and the loop's thread is joined once, by one of them. While it
// runs the loop holds the arm's port (IO::Line::ownership, shared by every object on that port
// in the process): it claims it at start, after any call in progress, and gives it back when
// its run ends.
//
// Processes: in a child made by fork() while a loop runs, the loop has no thread (a
// pthread_atfork handler notes it): it reports not running, and Stop and the destructor return
// at once without joining or writing anything; its arm stays driven, by the parent's loop.
// StopAllAtExit stops every loop of the process, whoever owns it (the Python module calls it
// from an `atexit` hook, before the interpreter freezes its daemon threads).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "TavixHardwareAPI/EventCount.h"
#include "TavixHardwareAPI/HapticEffect.h"
#include "TavixHardwareAPI/Osmira.h"

namespace Tavix::HardwareAPI::Devices {

class ServoLoop {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kMaxEffects = 16;
    // The longest wait of the final zero-force exchange.
    static constexpr std::chrono::milliseconds kStopWait{50};
    // The largest telemetry ring (about 235 MB) and the longest reply timeout and tick period.
    static constexpr size_t kMaxTelemetrySize = size_t{1} << 22;
    static constexpr double kLongestSeconds = 3600.0;
    // The range of how long before a tick a paced loop stops sleeping and waits actively.
    static constexpr std::chrono::microseconds kMinWakeMargin{20};
    static constexpr std::chrono::microseconds kMaxWakeMargin{500};

    // Allowed values in brackets; Problem names an option outside them.
    struct Options {
        double rate_hz = 0.0;         // 0: as fast as the line answers [0, or 1/kLongestSeconds .. finite]
        float max_force = 1.0f;       // the largest force magnitude ever commanded [> 0, finite]
        double ramp_seconds = 0.0;    // forces fade in linearly over this time after start [>= 0, finite]
        int watchdog_misses = 5;      // missing replies in a row that stop the loop [>= 1]
        double reply_timeout = 0.02;  // seconds an iteration waits for its reply [> 0, <= kLongestSeconds]
        // Seconds a reply wait busy-polls before it sleeps until input comes (Device::spin_limit);
        // negative, infinite or kLongestSeconds and more: it never sleeps [not NaN].
        double spin_seconds = 100e-6;
        size_t telemetry_size = 4096; // iterations the telemetry ring keeps [1 .. kMaxTelemetrySize]
        // A SCHED_FIFO real-time priority for the loop's thread; 0 leaves its scheduling as it
        // is [0 .. 99].
        int priority = 0;
        // The processor the loop's thread is pinned to; -1 leaves it free [-1, or a processor
        // of the process's allowed set when the loop is made].
        int cpu = -1;
        // mlockall(MCL_CURRENT | MCL_FUTURE): no page of the process is ever paged out, so the
        // loop never waits for one. It holds for the whole process, to its end.
        bool lock_memory = false;
    };

    // Why `options` do not fit (the first option outside its range, as a sentence naming it),
    // or nullptr when they do. The Python binding raises ValueError with it.
    static const char* Problem(const Options& options);

    enum class StopReason { NotStopped, Requested, MissedReplies, PortClosed };

    // One iteration: `time` is the seconds since the loop's first start when the exchange
    // began; position and velocity are the last state received (the previous one when this
    // reply was missing); `round_trip` the seconds the exchange took.
    struct Sample {
        double time = 0.0;
        Vector3 position{};
        Vector3 velocity{};
        Vector3 force{};
        float round_trip = 0.0f;
        bool replied = false;
    };

    struct Stats {
        uint64_t iterations = 0;
        uint64_t missed_replies = 0;
        uint64_t late_ticks = 0;
        uint64_t hurried = 0;  // extra exchanges made for Hurry (counted among the iterations)
        bool running = false;
        StopReason stop_reason = StopReason::NotStopped;
        // Round trips over the samples the telemetry ring holds, in seconds (0 without any).
        double round_trip_p50 = 0.0, round_trip_p99 = 0.0, round_trip_p999 = 0.0, round_trip_max = 0.0;
        // The scheduling options granted to the last run (0, -1, false: not asked, or refused).
        int priority = 0;
        int cpu = -1;
        bool lock_memory = false;
    };

    // `arm` (not owned) must outlive the loop. Options out of range (see Problem) are replaced
    // by the nearest allowed value, and where there is none by the safest: a max_force that is
    // NaN or not positive commands no force at all, a NaN or infinite ramp_seconds never fades
    // in (no force either), a rate_hz that is NaN, negative or infinite runs as fast as the
    // line answers, a reply_timeout that is NaN or not positive is the default, a NaN
    // spin_seconds never sleeps.
    ServoLoop(Osmira& arm, const Options& options);
    // Stops a running loop (zero force sent).
    ~ServoLoop();
    ServoLoop(const ServoLoop&) = delete;
    ServoLoop& operator=(const ServoLoop&) = delete;

    enum class StartResult {
        Started,         // this call started a run
        AlreadyRunning,  // a run of this loop goes on
        Driven,          // another loop drives the arm
        Busy,            // a call on the arm's line went on past the limit; nothing done
        Closed,          // after StopAllAtExit
    };
    // Starts a run: waits at most `limit` for a call in progress on the arm's line, then
    // drives it. A caller that must stay responsive (to Ctrl-C) tries again after Busy.
    StartResult StartWithin(std::chrono::milliseconds limit);
    // Starts a run, waiting for a call in progress as long as it takes. False when this loop
    // already runs, another loop drives the arm or StopAllAtExit was called.
    bool Start();
    // Ends the run (if any) and waits for its last zero-force exchange. Never waits for a
    // read timeout. Idempotent; a Stop made while another thread's Stop joins the loop waits
    // for that one.
    void Stop();
    bool Running() const { return running.load(std::memory_order_acquire); }

    // Asks a paced loop (rate_hz > 0) for an exchange now rather than at its next tick, so that
    // an effect just set reaches the arm without waiting for the tick. At most one such extra
    // exchange is made between two ticks, and only where a round trip (twice the last one)
    // still fits before the next tick, so the ticks keep their times. A request made while an
    // iteration runs is met by the next wait. Any thread; never waits.
    void Hurry();

    // Stops every loop of the process (each with its final zero) and makes every later Start
    // fail (Closed): for the end of the process.
    static void StopAllAtExit();

    // Effects by id (ids are positive and never reused by one loop). AddEffect returns 0 when
    // the table is full or the effect has a HapticEffect::Problem; SetEffect and RemoveEffect
    // return false for an unknown id (or an effect with a Problem). Any thread; the running
    // loop uses the new table from its next iteration.
    int AddEffect(const HapticEffect& effect);
    bool SetEffect(int id, const HapticEffect& effect);
    bool RemoveEffect(int id);
    void ClearEffects();

    // Copies up to `capacity` of the newest samples into `out`, oldest first; returns how many.
    size_t CopyTelemetry(Sample* out, size_t capacity) const;
    size_t TelemetrySize() const { return ring_size; }
    // Iterations made so far (all runs), without the cost of GetStats.
    uint64_t Iterations() const { return iterations.load(std::memory_order_acquire); }
    // Waits until Iterations() exceeds `seen` or the loop is not running, or until `until`;
    // returns Iterations(). For a thread that forwards each new sample as it comes, without
    // polling: the loop pays a system call per iteration only while some thread waits here.
    uint64_t AwaitIteration(uint64_t seen, Clock::time_point until) const;
    Stats GetStats() const;

private:
    struct EffectSlot {
        int id = 0;  // 0: empty
        HapticEffect effect;
    };
    using EffectTable = std::array<EffectSlot, kMaxEffects>;

    // A sample as the ring stores it: written by the loop, read by any thread.
    struct SampleSlot {
        std::atomic<double> time{0.0};
        std::array<std::atomic<float>, 10> values{};  // position, velocity, force, round trip
        std::atomic<bool> replied{false};
    };

    // Joins the loop's thread when there is one (with `lifecycle` held); in a forked child,
    // lets go of the parent's thread without touching it.
    void EndThread();
    static void BeforeFork();
    static void AfterForkInParent();
    static void AfterForkInChild();

    void Run();
    void Iterate(Vector3& position, Vector3& velocity, bool& have_state, Clock::time_point now);
    // Waits until `wait_until` for the reply an earlier iteration missed; true when the next
    // request may go out (it came, or it is overdue for two reply timeouts and taken as lost).
    bool SettleOverdueReply(Clock::time_point wait_until);
    // Gives up on `replies` owed ones (discarding what waits) and counts what may still come.
    void Forget(size_t replies);
    // How long replies given up on are still expected at a stop.
    static constexpr std::chrono::milliseconds kForgottenHorizon{500};
    // Discards a whole reply that waits while nothing is owed, after replies were forgotten; true.
    bool DropStrayReplies();
    static constexpr size_t kStateReplySize = 25;  // a state reply with its header code
    Vector3 CommandedForce(const Vector3& position, const Vector3& velocity, Clock::time_point now);
    // Waits for the tick after `tick` (an index of the run's schedule) and makes it `tick`;
    // when it has passed, counts the ticks passed as late and makes the last of them `tick`.
    void WaitForTick(uint64_t& tick);
    Clock::time_point TickTime(uint64_t tick) const;
    // Sleeps until `wake_margin` before `when`, then waits actively; ends early on a stop
    // request, or (when `may_hurry`) on a Hurry that leaves a round trip's time: true then.
    bool AwaitTime(Clock::time_point when, bool may_hurry);
    void NoteWakeUp(Clock::duration overshoot);
    // Applies the scheduling options to the calling thread (the loop's) and records what was
    // granted; says why a refused one was refused, once per loop.
    void ApplyScheduling();
    void ReportRefusal(unsigned option, const char* line);
    void SendFinalZero();
    void Record(const Sample& sample);
    const EffectTable& CurrentEffects();
    // Applies `edit` to the editors' table and publishes it; returns what `edit` returned.
    template <typename Edit>
    bool EditEffects(Edit&& edit);
    static bool CancelCheck(void* self);

    Osmira& arm;
    std::shared_ptr<IO::Line> line;  // the port's line this loop claimed last
    const Options options;
    const size_t ring_size;

    // Start, Stop and the fork handlers take turns; `thread` and `forked` are guarded by it.
    std::mutex lifecycle;
    std::thread thread;
    bool forked = false;  // `thread` ran in the parent of this forked process
    // The handles of such threads: kept, never joined, detached or destroyed (the child has no
    // such thread, and the C library may reuse its record for a thread of the child).
    union Abandoned {
        Abandoned() {}
        ~Abandoned() {}
        std::thread thread;
    } abandoned;
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> running{false};
    std::atomic<bool> hurry{false};  // Hurry asked for an exchange the loop has not begun
    EventCount woken;                // wakes the loop's sleep before a tick: Hurry and Stop
    std::atomic<int> stop_reason{static_cast<int>(StopReason::NotStopped)};
    Clock::time_point epoch{};     // the first start
    Clock::time_point run_start{}; // loop thread only while running
    Clock::time_point deadline{};  // of the current exchange; loop thread only
    int misses_in_a_row = 0;       // loop thread only
    size_t forgotten_replies = 0;  // given up on and not seen since; loop thread only
    Clock::time_point forgotten_at{};  // the last time replies were given up on; loop thread only
    Clock::time_point sent_at{};   // of the last request; loop thread only
    Vector3 last_sent{};           // the force the arm was last commanded; loop thread only
    Clock::duration overshoot_max{kMaxWakeMargin / 2};  // a decaying maximum of sleep overshoots; loop thread only
    Clock::duration wake_margin{kMaxWakeMargin / 2};    // that maximum, clamped; loop thread only
    Clock::duration last_round_trip{};  // loop thread only
    uint64_t hurried_for = 0;  // the tick before which an extra exchange was made (0: none); loop thread only
    unsigned refusals_reported = 0;  // a bit per scheduling option; loop thread only

    std::atomic<uint64_t> iterations{0};
    mutable EventCount iterated;  // notified after each iteration and at the end of a run
    std::atomic<uint64_t> missed_replies{0};
    std::atomic<uint64_t> late_ticks{0};
    std::atomic<uint64_t> hurried{0};
    std::atomic<int> granted_priority{0};
    std::atomic<int> granted_cpu{-1};
    std::atomic<bool> granted_lock{false};
    // ring_size + 1 slots: the one the loop may be writing is never among the newest
    // ring_size samples that a reader copies.
    std::unique_ptr<SampleSlot[]> ring;

    // Editors build a table in `tables[back]` and swap it into `middle` (an index with the
    // fresh bit); the loop swaps a fresh `middle` with its `front`. Neither ever waits.
    static constexpr int kFresh = 4;
    std::mutex editing;               // serialises editors only
    EffectTable edited{};             // guarded by `editing`
    int back = 0;                     // guarded by `editing`
    int next_id = 1;                  // guarded by `editing`
    std::array<EffectTable, 3> tables{};
    std::atomic<int> middle{1};
    int front = 2;                    // loop thread only
};

}  // namespace Tavix::HardwareAPI::Devices
