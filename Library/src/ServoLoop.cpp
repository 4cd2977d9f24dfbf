#include "TavixHardwareAPI/ServoLoop.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "TavixHardwareAPI/Cancellation.h"

namespace Tavix::HardwareAPI::Devices {

namespace {
constexpr int kIndexMask = 3;
// A fixed-rate loop sleeps while more than this is left before its tick, then polls: the
// scheduler's wake-up is too coarse to hit a tick by sleeping alone.
constexpr std::chrono::microseconds kSpinBefore{200};
// A sleeping loop looks at its stop flag at least this often.
constexpr std::chrono::milliseconds kLongestNap{1};

using Seconds = std::chrono::duration<double>;

ServoLoop::Options Clamped(ServoLoop::Options options) {
    options.max_force = std::isfinite(options.max_force) ? std::max(options.max_force, 0.0f) : 0.0f;
    if (!(options.rate_hz > 0.0) || !std::isfinite(options.rate_hz)) options.rate_hz = 0.0;
    if (!(options.ramp_seconds > 0.0) || !std::isfinite(options.ramp_seconds)) options.ramp_seconds = 0.0;
    options.watchdog_misses = std::max(options.watchdog_misses, 1);
    if (!(options.reply_timeout > 0.0) || !std::isfinite(options.reply_timeout)) options.reply_timeout = 0.02;
    if (!std::isfinite(options.spin_seconds)) options.spin_seconds = -1.0;
    options.telemetry_size = std::max<size_t>(options.telemetry_size, 1);
    return options;
}

// The norm clamped to `limit`, direction kept; a force with a non-finite entry becomes zero.
Vector3 Limit(const Vector3& force, float limit) {
    const float norm = std::sqrt(force[0] * force[0] + force[1] * force[1] + force[2] * force[2]);
    if (!std::isfinite(norm)) return {};
    if (norm <= limit) return force;
    const float scale = limit / norm;
    return {force[0] * scale, force[1] * scale, force[2] * scale};
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

double Percentile(const std::vector<float>& sorted, double q) {
    if (sorted.empty()) return 0.0;
    const auto index = static_cast<size_t>(q * static_cast<double>(sorted.size()));
    return sorted[std::min(index, sorted.size() - 1)];
}
}  // namespace

ServoLoop::ServoLoop(Osmira& arm, const Options& options)
    : arm(arm),
      options(Clamped(options)),
      ring_size(this->options.telemetry_size),
      ring(new SampleSlot[ring_size + 1]) {}

ServoLoop::~ServoLoop() { Stop(); }

bool ServoLoop::Start() {
    if (Running()) return false;
    if (thread.joinable()) thread.join();  // a run that ended by itself
    // The claim is the port's, so that no other object on it in this process can get in.
    line = arm.stream->SharedLineHandle();
    if (!line->ownership.Claim()) return false;
    stop_requested.store(false, std::memory_order_relaxed);
    stop_reason.store(static_cast<int>(StopReason::NotStopped), std::memory_order_relaxed);
    run_start = Clock::now();
    if (epoch == Clock::time_point{}) epoch = run_start;
    running.store(true, std::memory_order_release);
    thread = std::thread([this] { Run(); });
    return true;
}

void ServoLoop::Stop() {
    stop_requested.store(true, std::memory_order_release);
    if (thread.joinable()) thread.join();
}

bool ServoLoop::CancelCheck(void* self) {
    auto* loop = static_cast<ServoLoop*>(self);
    return loop->stop_requested.load(std::memory_order_acquire) || Clock::now() > loop->deadline;
}

void ServoLoop::Run() {
    Vector3 position{}, velocity{};
    bool have_state = false;
    Clock::time_point tick = run_start;
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
}

void ServoLoop::Iterate(Vector3& position, Vector3& velocity, bool& have_state, Clock::time_point now) {
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
    Vector3 sum{};
    for (const EffectSlot& slot : CurrentEffects()) {
        if (slot.id == 0) continue;
        const Vector3 f = slot.effect.Force(position, velocity);
        for (size_t i = 0; i < 3; ++i) sum[i] += f[i];
    }
    if (options.ramp_seconds > 0.0) {
        const auto ramp = static_cast<float>(std::min(1.0, Seconds(now - run_start).count() / options.ramp_seconds));
        for (float& f : sum) f *= ramp;
    }
    return Limit(sum, options.max_force);
}

void ServoLoop::WaitForTick(Clock::time_point& tick) {
    tick += std::chrono::duration_cast<Clock::duration>(Seconds(1.0 / options.rate_hz));
    Clock::time_point now = Clock::now();
    if (now > tick) {
        // Overran: this tick is lost, and the schedule starts again from now rather than
        // bursting to catch up.
        late_ticks.fetch_add(1, std::memory_order_relaxed);
        tick = now;
        return;
    }
    while (now < tick && !stop_requested.load(std::memory_order_acquire)) {
        if (tick - now > kSpinBefore) std::this_thread::sleep_for(std::min<Clock::duration>(tick - now - kSpinBefore, kLongestNap));
        now = Clock::now();
    }
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
    stats.running = Running();
    stats.stop_reason = static_cast<StopReason>(stop_reason.load(std::memory_order_relaxed));
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
        if (!effect.Finite()) return false;
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
        if (id == 0 || slot == table.end() || !effect.Finite()) return false;
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
