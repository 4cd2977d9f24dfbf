#include "Bridge.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "Dds.h"
#include "Gates.h"
#include "JointSolver.h"
#include "Publishers.h"
#include "TavixHardwareAPI/ArmModel.h"
#include "TavixHardwareAPI/HapticEffect.h"
#include "TavixHardwareAPI/Handle.h"
#include "TavixHardwareAPI/HoldraStatus.h"
#include "TavixHardwareAPI/Osmira.h"
#include "TavixHardwareAPI/SerialStream.h"
#include "TavixHardwareAPI/ServoLoop.h"
#include "ros_messages.h"

namespace tavix_bridge {

namespace {

namespace api = Tavix::HardwareAPI;
using api::Devices::HapticEffect;
using api::Devices::ServoLoop;
using Clock = std::chrono::steady_clock;

constexpr float kWakeUpTimeout = 0.5f;   // s: a live arm answers its wake-up within milliseconds
// The servo loop's rate: fixed, so that the coupling's period does not depend on the line, and
// well within what a serial arm answers, leaving the processors room for DDS.
constexpr double kLoopRate = 1000.0;
// A reply missing this long is a miss; five in a row (about a quarter of a second without an
// answer) and the watchdog stops the loop with zero force. Longer than the loop's default, so
// that a host busy for a moment (DDS, other programs) is not taken for a silent arm.
constexpr double kReplyTimeout = 0.05;
constexpr auto kControlPeriod = std::chrono::milliseconds(1);  // effects and fades updated
constexpr auto kDiagnosticsPeriod = std::chrono::seconds(1);
constexpr int kTakeBatch = 16;
// The bridge's thread takes arrivals at most this often: a flood of commands costs it no more
// than 4000 wake-ups a second, and the newest command still reaches the loop within 0.25 ms.
constexpr auto kMinTakeInterval = std::chrono::microseconds(250);
constexpr int kHandleStatusBytes = 19;  // the least a framed status takes
constexpr auto kHandleWait = std::chrono::milliseconds(10);

int Fail(const std::string& line) {
    std::fprintf(stderr, "tavix-bridge: %s\n", line.c_str());
    std::fflush(stderr);
    return 1;
}

int64_t RealtimeNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The wake-up and its identity record, with standard error set aside: a missing reply is
// reported by the bridge's own line, not the library's.
api::Devices::DeviceInfo WakeUp(api::Devices::Osmira& arm) {
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) close(null);
    arm.SendDeviceWakeup();
    const api::Devices::DeviceInfo info = arm.ReceiveDeviceInfo();
    std::fflush(stderr);
    if (saved >= 0) {
        dup2(saved, STDERR_FILENO);
        close(saved);
    }
    return info;
}

std::string OpenProblem(const api::IO::SerialStream& stream) {
    const int err = stream.OpenError();
    if (err == EBUSY) return stream.Port() + ": cannot open: another program is using it";
    return stream.Port() + ": cannot open: " + std::strerror(err);
}

bool Finite(const Vec3& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

// Takes every sample waiting on `reader` and hands each valid one to `use`.
template <typename Message, typename Use>
void TakeAll(dds_entity_t reader, Use&& use) {
    for (;;) {
        void* samples[kTakeBatch] = {};
        dds_sample_info_t infos[kTakeBatch];
        const dds_return_t n = dds_take(reader, samples, infos, kTakeBatch, kTakeBatch);
        if (n <= 0) return;
        for (int i = 0; i < n; ++i)
            if (infos[i].valid_data) use(*static_cast<const Message*>(samples[i]));
        dds_return_loan(reader, samples, n);
        if (n < kTakeBatch) return;
    }
}

bool SignalPending() {
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) != 0) return false;
    return sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1;
}

// Reads the handle's framed status stream and publishes each status until `stop`.
void ReadHandle(api::IO::SerialStream& stream, api::Devices::Handle& handle, Publishers& publishers,
                const std::atomic<bool>& stop) {
    while (!stop.load(std::memory_order_acquire)) {
        if (!stream.IsOpen()) {
            std::fprintf(stderr, "tavix-bridge: %s: the handle's port closed; its topics stop\n",
                         stream.Port().c_str());
            std::fflush(stderr);
            return;
        }
        // Only a whole status is read, so that a read never waits past a stop request.
        if (stream.Available() < kHandleStatusBytes) {
            stream.AwaitInput(kHandleWait);
            continue;
        }
        const api::Devices::HoldraStatus status = api::Devices::GetHoldraStatus(handle);
        const float* q = status.quaternion;
        if (q[0] == 0.0f && q[1] == 0.0f && q[2] == 0.0f && q[3] == 0.0f) continue;  // no frame
        publishers.PublishHandle(RealtimeNs(), q, status.buttons);
    }
}

}  // namespace

int RunBridge(const Options& o) {
    // Every thread (the servo loop's, DDS's, the handle's) inherits this mask, so the signals
    // stay pending until the bridge's thread sees them; nothing runs in a handler.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    api::IO::SerialStream stream(o.port.c_str(), false);
    if (stream.Open() != 1) return Fail(OpenProblem(stream));
    api::Devices::Osmira arm(stream, kWakeUpTimeout);
    if (WakeUp(arm).device_model_number == 0) return Fail(o.port + ": no arm answered the wake-up");

    std::unique_ptr<api::IO::SerialStream> handle_stream;
    std::unique_ptr<api::Devices::Handle> handle;
    if (!o.handle_port.empty()) {
        handle_stream = std::make_unique<api::IO::SerialStream>(o.handle_port.c_str(), false);
        if (handle_stream->Open() != 1) return Fail(OpenProblem(*handle_stream));
        handle = std::make_unique<api::Devices::Handle>(*handle_stream);
        handle->read_timeout = 0.05f;
    }

    // The model the arm's construction set up; the bridge never changes it.
    JointSolver solver(api::ArmModel::Instance().Snapshot());

    ServoLoop::Options loop_options;
    loop_options.rate_hz = kLoopRate;
    loop_options.max_force = static_cast<float>(o.max_force);
    loop_options.reply_timeout = kReplyTimeout;
    ServoLoop loop(arm, loop_options);
    const int command_effect = loop.AddEffect(HapticEffect::ConstantForce({0.0f, 0.0f, 0.0f}));
    const bool following = !o.follow.empty();
    const int coupling_effect = following ? loop.AddEffect(HapticEffect::Spring({0.0f, 0.0f, 0.0f}, 0.0f, 0.0f)) : 0;

    const auto before_start = Clock::now();
    if (!loop.Start()) return Fail(o.port + ": the servo loop could not start (another loop drives the arm)");
    const auto after_start = Clock::now();
    // Sample.time counts from the loop's first start on the steady clock; stamps are that
    // start's CLOCK_REALTIME (taken once, here) plus Sample.time.
    const auto epoch = before_start + (after_start - before_start) / 2;
    const int64_t epoch_realtime_ns =
        RealtimeNs() - std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - epoch).count();

    Participant participant(o.domain);
    Publishers publishers(participant, o.name, handle != nullptr);
    const dds_entity_t commands = participant.Reader("/" + o.name + "/force_command", "geometry_msgs/msg/WrenchStamped",
                                                     &geometry_msgs_msg_dds__WrenchStamped__desc);
    const dds_entity_t followed =
        following ? participant.Reader("/" + o.follow + "/pose", "geometry_msgs/msg/PoseStamped",
                                       &geometry_msgs_msg_dds__PoseStamped__desc)
                  : 0;
    dds_entity_t waitset = 0;
    if (participant.Ok()) {
        waitset = dds_create_waitset(participant.Handle());
        dds_waitset_attach(waitset, dds_create_readcondition(commands, DDS_ANY_STATE), 0);
        if (following) dds_waitset_attach(waitset, dds_create_readcondition(followed, DDS_ANY_STATE), 0);
    }
    if (!participant.Ok()) {
        loop.Stop();
        return Fail(participant.Error());
    }

    std::atomic<bool> handle_stop{false};
    std::thread handle_thread;
    if (handle)
        handle_thread = std::thread(ReadHandle, std::ref(*handle_stream), std::ref(*handle), std::ref(publishers),
                                    std::cref(handle_stop));

    for (const Served& topic : participant.Topics()) std::printf("%s %s\n", topic.ros_name.c_str(), topic.ros_type.c_str());
    std::fflush(stdout);

    const auto start = Clock::now();
    auto now_of = [&](Clock::time_point t) { return Seconds(t - start); };
    CommandGate gate(o.command_timeout, o.max_force);
    CouplingFade fade(o.command_timeout);
    Vec3 remote{};
    bool have_remote = false;
    uint64_t received = 0, rejected = 0;
    api::Devices::Vector3 command_set{0.0f, 0.0f, 0.0f};
    float coupling_gain_set = 0.0f;
    api::Devices::Vector3 centre_set{0.0f, 0.0f, 0.0f};

    const auto publish_period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / o.rate_hz));
    auto next_publication = start;
    auto next_control = start;
    auto next_diagnostics = start + kDiagnosticsPeriod;
    uint64_t diagnostics_iterations = loop.Iterations();
    auto diagnostics_since = start;
    double last_published = -1.0;
    auto last_take = start - kMinTakeInterval;
    Vec3 joints{};
    int status = 0;

    auto diagnostics = [&](Clock::time_point now, bool watchdog) {
        const ServoLoop::Stats stats = loop.GetStats();
        Diagnostics d;
        d.stamp_ns = RealtimeNs();
        d.hardware_id = o.port;
        const double elapsed = Seconds(now - diagnostics_since);
        d.rate_hz = elapsed > 0 ? static_cast<uint64_t>(std::llround(
                                      static_cast<double>(stats.iterations - diagnostics_iterations) / elapsed))
                                : 0;
        diagnostics_iterations = stats.iterations;
        diagnostics_since = now;
        d.missed_replies = stats.missed_replies;
        d.watchdog = watchdog ? 1 : 0;
        d.commands_received = received;
        d.commands_rejected = rejected;
        publishers.PublishDiagnostics(d);
    };

    for (;;) {
        if (SignalPending()) break;
        if (!loop.Running()) {  // the watchdog: the loop has sent its zero force where it could
            diagnostics(Clock::now(), true);
            const ServoLoop::StopReason reason = loop.GetStats().stop_reason;
            status = Fail(o.port + (reason == ServoLoop::StopReason::PortClosed
                                        ? ": the arm's port closed; the servo loop stopped"
                                        : ": the arm stopped answering; the servo loop stopped with zero force"));
            break;
        }
        const auto wake = std::min(next_publication, next_control);
        const auto takes_from = last_take + kMinTakeInterval;
        const auto before_wait = Clock::now();
        if (before_wait < takes_from) {  // taken a moment ago: sleep, do not wake for each arrival
            std::this_thread::sleep_for(std::min(takes_from, wake) - before_wait);
        } else {
            const auto wait = wake - before_wait;
            dds_waitset_wait(waitset, nullptr, 0,
                             wait > Clock::duration::zero()
                                 ? std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count()
                                 : 0);
        }
        const auto now = Clock::now();
        last_take = now;
        const double t = now_of(now);

        bool changed = false;
        TakeAll<geometry_msgs_msg_dds__WrenchStamped_>(commands, [&](const geometry_msgs_msg_dds__WrenchStamped_& m) {
            ++received;
            if (gate.Offer({m.wrench.force.x, m.wrench.force.y, m.wrench.force.z}, t))
                changed = true;
            else
                ++rejected;
        });
        if (following)
            TakeAll<geometry_msgs_msg_dds__PoseStamped_>(followed, [&](const geometry_msgs_msg_dds__PoseStamped_& m) {
                const Vec3 p{m.pose.position.x, m.pose.position.y, m.pose.position.z};
                if (!Finite(p)) return;
                remote = p;
                have_remote = true;
                fade.Arrived(t);
                changed = true;
            });

        if (changed || now >= next_control) {
            next_control = now + kControlPeriod;
            const Force force = gate.Output(t);
            const api::Devices::Vector3 command{static_cast<float>(force[0]), static_cast<float>(force[1]),
                                                static_cast<float>(force[2])};
            if (command != command_set && loop.SetEffect(command_effect, HapticEffect::ConstantForce(command)))
                command_set = command;
            if (following) {
                const float gain = static_cast<float>(fade.Update(t));
                const api::Devices::Vector3 centre{static_cast<float>(remote[0]), static_cast<float>(remote[1]),
                                                   static_cast<float>(remote[2])};
                if (have_remote && (gain != coupling_gain_set || centre != centre_set) &&
                    loop.SetEffect(coupling_effect,
                                   HapticEffect::Spring(centre, static_cast<float>(o.coupling_stiffness) * gain,
                                                        static_cast<float>(o.coupling_damping) * gain))) {
                    coupling_gain_set = gain;
                    centre_set = centre;
                }
            }
        }

        if (now >= next_publication) {
            next_publication += publish_period;
            if (next_publication <= now) next_publication = now + publish_period;  // late: no burst
            ServoLoop::Sample sample;
            if (loop.CopyTelemetry(&sample, 1) == 1 && sample.time > last_published) {
                last_published = sample.time;
                ArmState state;
                state.stamp_ns = epoch_realtime_ns + std::llround(sample.time * 1e9);
                for (int k = 0; k < 3; ++k) {
                    state.position[k] = sample.position[k];
                    state.velocity[k] = sample.velocity[k];
                    state.force[k] = sample.force[k];
                }
                Vec3 rates{};
                const bool solved = solver.Solve(state.position, joints);
                const bool have_rates = solved && solver.Rates(joints, state.velocity, rates);
                publishers.PublishArm(state, solved ? &joints : nullptr, have_rates ? &rates : nullptr);
            }
        }

        if (now >= next_diagnostics) {
            next_diagnostics += kDiagnosticsPeriod;
            if (next_diagnostics <= now) next_diagnostics = now + kDiagnosticsPeriod;
            diagnostics(now, false);
        }
    }

    loop.Stop();  // its last command is a zero force
    handle_stop.store(true, std::memory_order_release);
    if (handle_thread.joinable()) handle_thread.join();
    return status;  // the participant is deleted on the way out: the bridge leaves the domain
}

}  // namespace tavix_bridge
