#include "TavixHardwareAPI/ServoLoop.h"

#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "TavixHardwareAPI/Cancellation.h"

namespace Tavix::HardwareAPI::Devices {

namespace {
constexpr int kIndexMask = 3;
// A sleeping loop looks at its stop flag at least this often.
constexpr std::chrono::milliseconds kLongestNap{1};

// Tries of Start, so that a Stop of another thread need not wait for a long call on the line.
constexpr std::chrono::milliseconds kStartTry{10};

using Seconds = std::chrono::duration<double>;
using Precise = std::array<double, 3>;

// A processor of the calling thread's allowed set (the process's, for a thread that never
// changed its own).
bool AllowedCpu(int cpu) {
    if (cpu < 0 || cpu >= CPU_SETSIZE) return false;
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    return sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_ISSET(cpu, &allowed);
}

// Every option within its range (ServoLoop::Problem): the nearest allowed value, where there
// is none the safest.
ServoLoop::Options Clamped(ServoLoop::Options options) {
    constexpr double longest = ServoLoop::kLongestSeconds;
    if (!(options.rate_hz > 0.0) || !std::isfinite(options.rate_hz)) {
        options.rate_hz = 0.0;
    } else {
        options.rate_hz = std::max(options.rate_hz, 1.0 / longest);
    }
    options.max_force = options.max_force > 0.0f ? std::min(options.max_force, FLT_MAX) : 0.0f;  // NaN: 0
    if (options.ramp_seconds < 0.0) {
        options.ramp_seconds = 0.0;
    } else if (!std::isfinite(options.ramp_seconds)) {
        options.ramp_seconds = DBL_MAX;  // +inf or NaN: never fades in
    }
    options.watchdog_misses = std::max(options.watchdog_misses, 1);
    if (!(options.reply_timeout > 0.0)) {
        options.reply_timeout = ServoLoop::Options{}.reply_timeout;
    } else {
        options.reply_timeout = std::min(options.reply_timeout, longest);
    }
    if (!(options.spin_seconds < longest)) options.spin_seconds = -1.0;  // NaN too
    options.telemetry_size = std::clamp<size_t>(options.telemetry_size, 1, ServoLoop::kMaxTelemetrySize);
    options.priority = std::clamp(options.priority, 0, 99);
    if (!AllowedCpu(options.cpu)) options.cpu = -1;
    return options;
}

// The norm clamped to `limit`, direction kept; a force with a non-finite entry becomes zero.
// std::hypot scales before it squares: no force is too large for its norm.
Vector3 Limit(const Precise& force, float limit) {
    if (!std::isfinite(force[0]) || !std::isfinite(force[1]) || !std::isfinite(force[2])) return {};
    const double norm = std::hypot(force[0], force[1], force[2]);
    const double scale = norm > limit ? limit / norm : 1.0;
    return {static_cast<float>(force[0] * scale), static_cast<float>(force[1] * scale),
            static_cast<float>(force[2] * scale)};
}

// Every loop of the process, from construction to destruction, for StopAllAtExit and the fork
// handlers. Lock order: `mutex`, then a loop's `lifecycle`. Never destroyed, so that loops of
// static storage and exit handlers may use it to the end.
struct Registry {
    std::mutex mutex;
    std::vector<ServoLoop*> members;  // guarded by `mutex`
    std::atomic<bool> closed{false};  // StopAllAtExit was called
};

Registry& Loops() {
    static Registry* const registry = new Registry;
    return *registry;
}

bool DeadlinePassed(void* deadline) {
    return ServoLoop::Clock::now() > *static_cast<ServoLoop::Clock::time_point*>(deadline);
}

void StoreVector(std::atomic<float>* out, const Vector3& v) {
    for (size_t i = 0; i < 3; ++i) out[i].store(v[i], std::memory_order_relaxed);
}

Vector3 LoadVector(const std::atomic<float>* in) {
    return {in[0].load(std::memory_order_relaxed), in[1].load(std::memory_order_relaxed),
            in[2].load(std::memory_order_relaxed)};
}

// Whether the calling thread has `capability` in its effective set.
bool HasCapability(int capability) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return (data[capability / 32].effective >> (capability % 32) & 1u) != 0;
}

std::string ResourceLimit(int resource) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0) return "unknown";
    return limit.rlim_cur == RLIM_INFINITY ? "unlimited" : std::to_string(limit.rlim_cur);
}

// " (<limit> is <value>; <capability> missing|present; <error>)": what decided a refusal.
std::string Why(const char* limit, int resource, const char* capability, int capability_bit, int error) {
    return std::string(" (") + limit + " is " + ResourceLimit(resource) + "; " + capability +
           (HasCapability(capability_bit) ? " present; " : " missing; ") + std::strerror(error) + ")";
}

// Tells the processor that this is a busy wait (it may save power and yield to a sibling).
void Relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

double Percentile(const std::vector<float>& sorted, double q) {
    if (sorted.empty()) return 0.0;
    const auto index = static_cast<size_t>(q * static_cast<double>(sorted.size()));
    return sorted[std::min(index, sorted.size() - 1)];
}

// Blocks, in the calling thread, the signals a program sends to itself as a whole (Ctrl-C, kill,
// a closed terminal, timers, children): the kernel then hands them to the program's own
// threads. Taken by the loop's thread, such a signal would only run its handler there, and an
// interpreter's main thread waiting on a lock would not see it until that wait ended.
void BlockProcessSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD, SIGWINCH})
        sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}
}  // namespace

const char* ServoLoop::Problem(const Options& options) {
    static_assert(kMaxTelemetrySize == 4194304 && kLongestSeconds == 3600.0, "the sentences below name them");
    if (options.telemetry_size < 1 || options.telemetry_size > kMaxTelemetrySize)
        return "telemetry_size must be from 1 to 4194304";
    if (!std::isfinite(options.rate_hz) || options.rate_hz < 0.0 ||
        (options.rate_hz > 0.0 && options.rate_hz < 1.0 / kLongestSeconds))
        return "rate_hz must be 0 (as fast as the arm answers) or a finite rate of at least one tick an hour";
    if (!std::isfinite(options.max_force) || !(options.max_force > 0.0f)) return "max_force must be positive and finite";
    if (!std::isfinite(options.ramp_seconds) || options.ramp_seconds < 0.0)
        return "ramp_seconds must be finite and not negative";
    if (options.watchdog_misses < 1) return "watchdog_misses must be at least 1";
    if (!(options.reply_timeout > 0.0 && options.reply_timeout <= kLongestSeconds))
        return "reply_timeout must be more than 0 and at most 3600 seconds";
    if (std::isnan(options.spin_seconds)) return "spin_seconds must be a number";
    if (options.priority < 0 || options.priority > 99)
        return "priority must be from 1 to 99 (a real-time priority), or 0 (unchanged)";
    if (options.cpu != -1 && !AllowedCpu(options.cpu))
        return "cpu must be None (free) or a processor this process may run on";
    return nullptr;
}

ServoLoop::ServoLoop(Osmira& arm, const Options& options)
    : arm(arm),
      options(Clamped(options)),
      ring_size(this->options.telemetry_size),
      ring(new SampleSlot[ring_size + 1]) {
    static std::once_flag fork_handlers;
    std::call_once(fork_handlers, [] { pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild); });
    Registry& registry = Loops();
    const std::lock_guard<std::mutex> lock(registry.mutex);
    registry.members.push_back(this);
}

ServoLoop::~ServoLoop() {
    {
        Registry& registry = Loops();
        const std::lock_guard<std::mutex> lock(registry.mutex);
        registry.members.erase(std::find(registry.members.begin(), registry.members.end(), this));
    }
    Stop();
}

ServoLoop::StartResult ServoLoop::StartWithin(std::chrono::milliseconds limit) {
    const std::lock_guard<std::mutex> lock(lifecycle);
    if (Loops().closed.load(std::memory_order_acquire)) return StartResult::Closed;
    if (Running()) return StartResult::AlreadyRunning;
    EndThread();  // a run that ended by itself
    // The claim is the port's, so that no other object on it in this process can get in.
    line = arm.stream->SharedLineHandle();
    switch (line->ownership.ClaimWithin(limit)) {
        case LineOwnership::Call::Busy: return StartResult::Busy;
        case LineOwnership::Call::Driven: return StartResult::Driven;
        case LineOwnership::Call::Started: break;
    }
    stop_requested.store(false, std::memory_order_relaxed);
    stop_reason.store(static_cast<int>(StopReason::NotStopped), std::memory_order_relaxed);
    run_start = Clock::now();
    if (epoch == Clock::time_point{}) epoch = run_start;
    running.store(true, std::memory_order_release);
    try {
        thread = std::thread([this] { Run(); });
    } catch (...) {  // no thread could be made: the arm is given back
        running.store(false, std::memory_order_release);
        line->ownership.Release();
        throw;
    }
    return StartResult::Started;
}

bool ServoLoop::Start() {
    StartResult result = StartResult::Busy;
    while (result == StartResult::Busy) result = StartWithin(kStartTry);
    return result == StartResult::Started;
}

void ServoLoop::Stop() {
    const std::lock_guard<std::mutex> lock(lifecycle);
    stop_requested.store(true, std::memory_order_release);
    woken.Notify();
    EndThread();
}

void ServoLoop::EndThread() {
    if (!thread.joinable()) return;
    if (forked || thread.get_id() == std::this_thread::get_id()) {
        // The parent's thread (or, were the loop ever to stop itself, this very thread): not
        // ours to join. The handle is moved aside and never destroyed.
        new (&abandoned.thread) std::thread(std::move(thread));
        forked = false;
        return;
    }
    thread.join();
}

void ServoLoop::StopAllAtExit() {
    Registry& registry = Loops();
    registry.closed.store(true, std::memory_order_release);
    const std::lock_guard<std::mutex> lock(registry.mutex);
    for (ServoLoop* loop : registry.members) loop->Stop();
}

// fork() copies only the forking thread. The handlers hold every loop's lifecycle across it,
// so that the child finds no Start or Stop half made, and tell the child's loops that their
// threads are not there.
void ServoLoop::BeforeFork() {
    Registry& registry = Loops();
    registry.mutex.lock();
    for (ServoLoop* loop : registry.members) loop->lifecycle.lock();
}

void ServoLoop::AfterForkInParent() {
    Registry& registry = Loops();
    for (ServoLoop* loop : registry.members) loop->lifecycle.unlock();
    registry.mutex.unlock();
}

void ServoLoop::AfterForkInChild() {
    Registry& registry = Loops();
    for (ServoLoop* loop : registry.members) {
        loop->forked = loop->thread.joinable();
        loop->running.store(false, std::memory_order_release);
        loop->lifecycle.unlock();
    }
    registry.mutex.unlock();
}

bool ServoLoop::CancelCheck(void* self) {
    auto* loop = static_cast<ServoLoop*>(self);
    return loop->stop_requested.load(std::memory_order_acquire) || Clock::now() > loop->deadline;
}

void ServoLoop::Run() {
    BlockProcessSignals();
    Vector3 position{}, velocity{};
    bool have_state = false;
    uint64_t tick = 0;
    hurried_for = 0;
    misses_in_a_row = 0;
    forgotten_replies = 0;
    forgotten_at = Clock::time_point{};
    last_sent = {};
    StopReason reason = StopReason::Requested;
    const std::chrono::microseconds spin_limit = arm.spin_limit;
    const float read_timeout = arm.read_timeout;
    arm.spin_limit = options.spin_seconds < 0.0 ? std::chrono::microseconds(-1)
                                                : std::chrono::duration_cast<std::chrono::microseconds>(Seconds(options.spin_seconds));
    // The loop's own deadlines (reply_timeout, kStopWait) bound every wait of a run: the arm's
    // read timeout would only end some waits early, with a timeout line each.
    arm.read_timeout = 0.0f;
    ApplyScheduling();
    run_start = Clock::now();  // the schedule's origin, once the thread is set up
    while (!stop_requested.load(std::memory_order_acquire)) {
        if (!arm.stream->IsOpen()) {
            reason = StopReason::PortClosed;
            break;
        }
        Iterate(position, velocity, have_state, Clock::now());
        if (!arm.stream->IsOpen()) {
            reason = StopReason::PortClosed;
            break;
        }
        if (misses_in_a_row >= options.watchdog_misses) {
            reason = StopReason::MissedReplies;
            break;
        }
        if (options.rate_hz > 0.0) WaitForTick(tick);
    }
    SendFinalZero();
    arm.spin_limit = spin_limit;
    arm.read_timeout = read_timeout;
    stop_reason.store(static_cast<int>(reason), std::memory_order_relaxed);
    line->ownership.Release();
    running.store(false, std::memory_order_release);
    iterated.Notify();
}

void ServoLoop::Hurry() {
    hurry.store(true, std::memory_order_release);
    woken.Notify();
}

void ServoLoop::Iterate(Vector3& position, Vector3& velocity, bool& have_state, Clock::time_point now) {
    // Any Hurry until here is met by this iteration: it reads the effects as they are now.
    hurry.store(false, std::memory_order_relaxed);
    const Vector3 force = have_state ? CommandedForce(position, velocity, now) : Vector3{};
    const auto timeout = std::chrono::duration_cast<Clock::duration>(Seconds(options.reply_timeout));
    bool replied = false;
    if (arm.Ledger().Empty() ? DropStrayReplies() : SettleOverdueReply(now + timeout)) {
        deadline = Clock::now() + timeout;
        // Ends the exchange's waits on a stop request or when its reply is overdue; what did
        // not come is then owed, and awaited by the next iterations.
        const CancelScope scope(&CancelCheck, this);
        sent_at = Clock::now();
        replied = arm.ExchangeForce(force, position, velocity);
        last_sent = force;
    }
    const Clock::time_point end = Clock::now();
    last_round_trip = end - now;
    have_state = have_state || replied;
    misses_in_a_row = replied ? 0 : misses_in_a_row + 1;
    if (!replied) missed_replies.fetch_add(1, std::memory_order_relaxed);
    Record({Seconds(now - epoch).count(), position, velocity, last_sent, static_cast<float>(Seconds(end - now).count()),
            replied});
}

bool ServoLoop::SettleOverdueReply(Clock::time_point wait_until) {
    deadline = wait_until;
    const CancelScope scope(&CancelCheck, this);
    if (arm.SettleOwed() != Device::Settle::Cancelled || stop_requested.load(std::memory_order_acquire)) return true;
    // One request at a time: while its reply is overdue no other goes out, so that late answers
    // keep their order and each is taken for its own request. A reply missing for two reply
    // timeouts is taken as lost (a line that drops a reply costs two misses, not the loop).
    if (Clock::now() - sent_at < 2 * std::chrono::duration_cast<Clock::duration>(Seconds(options.reply_timeout)))
        return false;
    Forget(arm.Ledger().Replies() + (arm.Ledger().partial.Empty() ? 0 : 1));
    return true;
}

void ServoLoop::Forget(size_t replies) {
    // Whole replies among the bytes discarded are replies given up on that came after all.
    const auto came = static_cast<size_t>(std::max(arm.stream->Available(), 0)) / kStateReplySize;
    arm.FlushInput();
    forgotten_replies = forgotten_replies + replies - std::min(came, forgotten_replies + replies);
    forgotten_at = Clock::now();
}

bool ServoLoop::DropStrayReplies() {
    // Nothing is owed, so a whole reply waiting now, after replies were given up on, is one of
    // them come late; left there, it would be taken for this iteration's answer, and every
    // later one would be one behind. Fewer bytes may be a notification, which the reader skips.
    if (forgotten_replies > 0 && arm.stream->Available() > static_cast<int>(kStateReplySize)) Forget(0);
    return true;
}

Vector3 ServoLoop::CommandedForce(const Vector3& position, const Vector3& velocity, Clock::time_point now) {
    Precise sum{};
    for (const EffectSlot& slot : CurrentEffects()) {
        if (slot.id == 0) continue;
        const Precise f = slot.effect.PreciseForce(position, velocity);
        for (size_t i = 0; i < 3; ++i) sum[i] += f[i];
    }
    if (options.ramp_seconds > 0.0) {
        const double ramp = std::min(1.0, Seconds(now - run_start).count() / options.ramp_seconds);
        for (double& f : sum) f *= ramp;
    }
    return Limit(sum, options.max_force);
}

ServoLoop::Clock::time_point ServoLoop::TickTime(uint64_t tick) const {
    // From the run's start each time, so that no rounding accumulates.
    return run_start + std::chrono::duration_cast<Clock::duration>(Seconds(static_cast<double>(tick) / options.rate_hz));
}

void ServoLoop::WaitForTick(uint64_t& tick) {
    const Clock::time_point now = Clock::now();
    if (now < TickTime(tick + 1)) {
        if (AwaitTime(TickTime(tick + 1), hurried_for != tick + 1)) {
            hurried_for = tick + 1;  // an extra exchange now; the tick is still to come
            hurried.fetch_add(1, std::memory_order_relaxed);
        } else {
            ++tick;
        }
        return;
    }
    // The iteration overran: every tick passed by now is late. The next iteration starts at
    // once, for the last of them, and the schedule goes on from there.
    const auto passed = static_cast<uint64_t>(Seconds(now - run_start).count() * options.rate_hz);
    const uint64_t last = std::max(passed, tick + 1);
    late_ticks.fetch_add(last - tick, std::memory_order_relaxed);
    tick = last;
}

bool ServoLoop::AwaitTime(Clock::time_point when, bool may_hurry) {
    const auto hurried = [&] {
        return may_hurry && hurry.load(std::memory_order_acquire) && Clock::now() + 2 * last_round_trip < when;
    };
    const auto woken_up = [&] { return stop_requested.load(std::memory_order_acquire) || hurried(); };
    // Sleeps in naps of at most kLongestNap (a stop request or a Hurry wakes it earlier).
    for (;;) {
        if (stop_requested.load(std::memory_order_acquire)) return false;
        if (hurried()) return true;
        const Clock::time_point now = Clock::now();
        const Clock::time_point wake = when - wake_margin;
        if (now >= wake) break;
        const Clock::time_point until = std::min<Clock::time_point>(wake, now + kLongestNap);
        if (!woken.AwaitUntil(woken_up, until)) NoteWakeUp(Clock::now() - until);
    }
    // The rest actively: a wake-up from sleep comes later than asked, by a varying amount.
    while (Clock::now() < when && !stop_requested.load(std::memory_order_acquire)) {
        if (hurried()) return true;
        Relax();
    }
    return false;
}

void ServoLoop::NoteWakeUp(Clock::duration overshoot) {
    // A maximum that decays by 1/1024 a wake-up (half in about 700), so that a single slow
    // wake-up raises the margin at once and a quieter system lowers it over about a second.
    overshoot_max = std::max(overshoot, overshoot_max - overshoot_max / 1024);
    wake_margin = std::clamp<Clock::duration>(overshoot_max, kMinWakeMargin, kMaxWakeMargin);
}

void ServoLoop::ApplyScheduling() {
    int priority = 0, cpu = -1;
    bool locked = false;
    if (options.priority > 0) {
        const sched_param param{options.priority};
        const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        if (error == 0) {
            priority = options.priority;
        } else {
            ReportRefusal(1, ("ServoLoop: real-time priority " + std::to_string(options.priority) + " refused" +
                              Why("RLIMIT_RTPRIO", RLIMIT_RTPRIO, "CAP_SYS_NICE", CAP_SYS_NICE, error) +
                              ": running at normal priority").c_str());
        }
    }
    if (options.cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(options.cpu, &set);
        const int error = pthread_setaffinity_np(pthread_self(), sizeof set, &set);
        if (error == 0) {
            cpu = options.cpu;
        } else {
            ReportRefusal(2, ("ServoLoop: processor " + std::to_string(options.cpu) + " refused (" +
                              std::strerror(error) + "): running on any processor").c_str());
        }
    }
    if (options.lock_memory) {
        locked = mlockall(MCL_CURRENT | MCL_FUTURE) == 0;
        const int error = errno;
        if (!locked) {
            ReportRefusal(4, ("ServoLoop: memory lock refused" +
                              Why("RLIMIT_MEMLOCK", RLIMIT_MEMLOCK, "CAP_IPC_LOCK", CAP_IPC_LOCK, error) +
                              ": pages may be paged out").c_str());
        }
    }
    granted_priority.store(priority, std::memory_order_relaxed);
    granted_cpu.store(cpu, std::memory_order_relaxed);
    granted_lock.store(locked, std::memory_order_relaxed);
}

void ServoLoop::ReportRefusal(unsigned option, const char* line) {
    if (refusals_reported & option) return;
    refusals_reported |= option;
    std::fprintf(stderr, "%s\n", line);
    std::fflush(stderr);
}

void ServoLoop::SendFinalZero() {
    if (!arm.stream->IsOpen()) return;
    Clock::time_point limit = Clock::now() + kStopWait;
    const CancelScope scope(&DeadlinePassed, &limit);
    // Replies given up on lately may still be on their way: they are owed again, so that they
    // are settled here or by the arm's next caller, never taken for the answer to a later call.
    if (Clock::now() - forgotten_at < kForgottenHorizon) {
        for (; forgotten_replies > 0; --forgotten_replies) arm.Ledger().Expect(1, static_cast<uint16_t>(kStateReplySize - 1), false);
    }
    if (arm.SettleOwed() == Device::Settle::Cancelled) {
        // Earlier replies are still on their way: the zero goes out at once, its reply owed
        // behind theirs, for the arm's next caller to settle.
        arm.SendForce({});
        arm.Ledger().AbandonFirstAwaited();
        return;
    }
    Vector3 position{}, velocity{};
    arm.ExchangeForce({}, position, velocity);
}

void ServoLoop::Record(const Sample& sample) {
    const uint64_t index = iterations.load(std::memory_order_relaxed);
    SampleSlot& slot = ring[index % (ring_size + 1)];
    // Orders the count published for the previous sample before this slot's new values: a
    // reader that sees any of them also sees that count and drops the overwritten sample.
    std::atomic_thread_fence(std::memory_order_release);
    slot.time.store(sample.time, std::memory_order_relaxed);
    StoreVector(&slot.values[0], sample.position);
    StoreVector(&slot.values[3], sample.velocity);
    StoreVector(&slot.values[6], sample.force);
    slot.values[9].store(sample.round_trip, std::memory_order_relaxed);
    slot.replied.store(sample.replied, std::memory_order_relaxed);
    iterations.store(index + 1, std::memory_order_release);
    iterated.Notify();
}

uint64_t ServoLoop::AwaitIteration(uint64_t seen, Clock::time_point until) const {
    iterated.AwaitUntil([&] { return Iterations() > seen || !Running(); }, until);
    return Iterations();
}

size_t ServoLoop::CopyTelemetry(Sample* out, size_t capacity) const {
    const uint64_t written = iterations.load(std::memory_order_acquire);
    const uint64_t first = written - std::min<uint64_t>({written, ring_size, capacity});
    for (uint64_t i = first; i < written; ++i) {
        const SampleSlot& slot = ring[i % (ring_size + 1)];
        Sample& sample = out[i - first];
        sample.time = slot.time.load(std::memory_order_relaxed);
        sample.position = LoadVector(&slot.values[0]);
        sample.velocity = LoadVector(&slot.values[3]);
        sample.force = LoadVector(&slot.values[6]);
        sample.round_trip = slot.values[9].load(std::memory_order_relaxed);
        sample.replied = slot.replied.load(std::memory_order_relaxed);
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    // Samples the loop began to overwrite while they were copied are dropped: the loop may be
    // writing sample `now`, which reuses the slot of sample `now - ring_size - 1`.
    const uint64_t now = iterations.load(std::memory_order_relaxed);
    const uint64_t valid_from = now >= ring_size ? now - ring_size : 0;
    if (valid_from <= first) return static_cast<size_t>(written - first);
    if (valid_from >= written) return 0;
    const auto dropped = static_cast<size_t>(valid_from - first);
    std::copy(out + dropped, out + (written - first), out);
    return static_cast<size_t>(written - valid_from);
}

ServoLoop::Stats ServoLoop::GetStats() const {
    Stats stats;
    std::vector<Sample> samples(ring_size);
    samples.resize(CopyTelemetry(samples.data(), samples.size()));
    std::vector<float> round_trips;
    round_trips.reserve(samples.size());
    for (const Sample& sample : samples) round_trips.push_back(sample.round_trip);
    std::sort(round_trips.begin(), round_trips.end());
    stats.round_trip_p50 = Percentile(round_trips, 0.5);
    stats.round_trip_p99 = Percentile(round_trips, 0.99);
    stats.round_trip_p999 = Percentile(round_trips, 0.999);
    stats.round_trip_max = round_trips.empty() ? 0.0 : round_trips.back();
    stats.iterations = iterations.load(std::memory_order_relaxed);
    stats.missed_replies = missed_replies.load(std::memory_order_relaxed);
    stats.late_ticks = late_ticks.load(std::memory_order_relaxed);
    stats.hurried = hurried.load(std::memory_order_relaxed);
    stats.running = Running();
    stats.stop_reason = static_cast<StopReason>(stop_reason.load(std::memory_order_relaxed));
    stats.priority = granted_priority.load(std::memory_order_relaxed);
    stats.cpu = granted_cpu.load(std::memory_order_relaxed);
    stats.lock_memory = granted_lock.load(std::memory_order_relaxed);
    return stats;
}

const ServoLoop::EffectTable& ServoLoop::CurrentEffects() {
    if (middle.load(std::memory_order_relaxed) & kFresh)
        front = middle.exchange(front, std::memory_order_acq_rel) & kIndexMask;
    return tables[front];
}

template <typename Edit>
bool ServoLoop::EditEffects(Edit&& edit) {
    const std::lock_guard<std::mutex> lock(editing);
    if (!edit(edited)) return false;
    tables[back] = edited;
    back = middle.exchange(back | kFresh, std::memory_order_acq_rel) & kIndexMask;
    return true;
}

int ServoLoop::AddEffect(const HapticEffect& effect) {
    int id = 0;
    EditEffects([&](EffectTable& table) {
        if (effect.Problem() != nullptr) return false;
        const auto free = std::find_if(table.begin(), table.end(), [](const EffectSlot& s) { return s.id == 0; });
        if (free == table.end()) return false;
        id = next_id++;
        *free = {id, effect};
        return true;
    });
    return id;
}

bool ServoLoop::SetEffect(int id, const HapticEffect& effect) {
    return EditEffects([&](EffectTable& table) {
        const auto slot = std::find_if(table.begin(), table.end(), [id](const EffectSlot& s) { return s.id == id; });
        if (id == 0 || slot == table.end() || effect.Problem() != nullptr) return false;
        slot->effect = effect;
        return true;
    });
}

bool ServoLoop::RemoveEffect(int id) {
    return EditEffects([&](EffectTable& table) {
        const auto slot = std::find_if(table.begin(), table.end(), [id](const EffectSlot& s) { return s.id == id; });
        if (id == 0 || slot == table.end()) return false;
        *slot = EffectSlot{};
        return true;
    });
}

void ServoLoop::ClearEffects() {
    EditEffects([](EffectTable& table) {
        table.fill(EffectSlot{});
        return true;
    });
}

}  // namespace Tavix::HardwareAPI::Devices
