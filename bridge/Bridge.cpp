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
// The longest the state publisher waits for a state at once (it rechecks for a stop).
constexpr auto kStateWait = std::chrono::milliseconds(50);
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
    return sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1 ||
           sigismember(&pending, SIGHUP) == 1;
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

// The arm's side once it answers: the servo loop with the command's and the coupling's effects,
// the handle's reader, and what the bridge's thread keeps between its rounds.
class Bridge {
public:
    Bridge(const Options& options, api::Devices::Osmira& arm, api::IO::SerialStream* handle_stream,
           api::Devices::Handle* handle)
        : o(options),
          handle_stream(handle_stream),
          handle(handle),
          solver(api::ArmModel::Instance().Snapshot()),  // the model the arm's construction set up
          loop(arm, LoopOptions(options)),
          gate(options.command_timeout, options.max_force),
          fade(options.command_timeout) {
        command_effect = loop.AddEffect(HapticEffect::ConstantForce({0.0f, 0.0f, 0.0f}));
        if (Following()) coupling_effect = loop.AddEffect(HapticEffect::Spring({0.0f, 0.0f, 0.0f}, 0.0f, 0.0f));
    }

    // Starts the loop, joins the domain, serves until a stop signal or the watchdog; the loop's
    // last command is a zero force on every way out. Returns the exit status.
    int Run() {
        if (!StartLoop()) return Fail(o.port + ": the servo loop could not start (another loop drives the arm)");
        Participant participant(o.domain);
        Publishers publishers(participant, o.name, handle != nullptr);
        const int status = participant.Ok() && OpenReaders(participant) ? Serve(participant, publishers)
                                                                          : Fail(participant.Error());
        loop.Stop();  // its last command is a zero force
        return status;  // the participant is deleted on the way out: the bridge leaves the domain
    }

private:
    static ServoLoop::Options LoopOptions(const Options& o) {
        ServoLoop::Options loop_options;
        loop_options.rate_hz = kLoopRate;
        loop_options.max_force = static_cast<float>(o.max_force);
        loop_options.reply_timeout = kReplyTimeout;
        return loop_options;
    }

    bool Following() const { return !o.follow.empty(); }

    // Sample.time counts from the loop's first start on the steady clock; stamps are that
    // start's CLOCK_REALTIME (taken once, here) plus Sample.time.
    bool StartLoop() {
        const auto before_start = Clock::now();
        if (!loop.Start()) return false;
        const auto epoch = before_start + (Clock::now() - before_start) / 2;
        epoch_realtime_ns =
            RealtimeNs() - std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - epoch).count();
        return true;
    }

    bool OpenReaders(Participant& participant) {
        commands = participant.Reader("/" + o.name + "/force_command", "geometry_msgs/msg/WrenchStamped",
                                      &geometry_msgs_msg_dds__WrenchStamped__desc);
        if (Following())
            followed = participant.Reader("/" + o.follow + "/pose", "geometry_msgs/msg/PoseStamped",
                                          &geometry_msgs_msg_dds__PoseStamped__desc, false);  // the other's
        if (!participant.Ok()) return false;
        waitset = dds_create_waitset(participant.Handle());
        dds_waitset_attach(waitset, dds_create_readcondition(commands, DDS_ANY_STATE), 0);
        if (Following()) dds_waitset_attach(waitset, dds_create_readcondition(followed, DDS_ANY_STATE), 0);
        return true;
    }

    int Serve(const Participant& participant, Publishers& publishers) {
        std::atomic<bool> threads_stop{false};
        std::thread state_thread(&Bridge::PublishStates, this, std::ref(publishers), std::cref(threads_stop));
        std::thread handle_thread;
        if (handle)
            handle_thread = std::thread(ReadHandle, std::ref(*handle_stream), std::ref(*handle), std::ref(publishers),
                                        std::cref(threads_stop));
        for (const Served& topic : participant.Topics())
            std::printf("%s %s\n", topic.ros_name.c_str(), topic.ros_type.c_str());
        std::fflush(stdout);

        start = Clock::now();
        next_control = start;
        next_diagnostics = start + kDiagnosticsPeriod;
        diagnostics_since = start;
        diagnostics_ticks = loop.Iterations();  // nothing hurried yet: no command was taken
        last_take = start - kMinTakeInterval;
        int status = 0;
        while (!SignalPending()) {
            if (!loop.Running()) {  // the watchdog: the loop has sent its zero force where it could
                status = WatchdogStopped(publishers);
                break;
            }
            Round(publishers);
        }
        threads_stop.store(true, std::memory_order_release);
        state_thread.join();
        if (handle_thread.joinable()) handle_thread.join();
        return status;
    }

    int WatchdogStopped(Publishers& publishers) {
        PublishDiagnostics(publishers, Clock::now(), true);
        const bool closed = loop.GetStats().stop_reason == ServoLoop::StopReason::PortClosed;
        return Fail(o.port + (closed ? ": the arm's port closed; the servo loop stopped"
                                     : ": the arm stopped answering; the servo loop stopped with zero force"));
    }

    // One round of the bridge's thread: wait for an arrival or the next due work, take what
    // arrived, update the effects, publish the diagnostics when due.
    void Round(Publishers& publishers) {
        WaitForWork();
        const auto now = Clock::now();
        last_take = now;
        const double t = Seconds(now - start);
        const Arrivals arrived = TakeArrivals(t);
        if (arrived.command || arrived.pose || now >= next_control) {
            next_control = now + kControlPeriod;
            UpdateEffects(t, arrived.command);
        }
        if (now >= next_diagnostics) {
            next_diagnostics = NextDue(next_diagnostics, kDiagnosticsPeriod, now);
            PublishDiagnostics(publishers, now, false);
        }
    }

    Clock::duration PublishPeriod() const {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / o.rate_hz));
    }

    // The time after `due` by `period`; when that has passed too, a period from `now` (no burst).
    static Clock::time_point NextDue(Clock::time_point due, Clock::duration period, Clock::time_point now) {
        due += period;
        return due <= now ? now + period : due;
    }

    void WaitForWork() {
        const auto wake = next_control;
        const auto takes_from = last_take + kMinTakeInterval;
        const auto now = Clock::now();
        if (now < takes_from) {  // taken a moment ago: sleep, do not wake for each arrival
            std::this_thread::sleep_for(std::min(takes_from, wake) - now);
            return;
        }
        const auto wait = std::max(wake - now, Clock::duration::zero());
        dds_waitset_wait(waitset, nullptr, 0, std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count());
    }

    struct Arrivals {
        bool command = false, pose = false;  // accepted ones
    };

    // Takes the commands and followed poses that arrived.
    Arrivals TakeArrivals(double t) {
        Arrivals arrived;
        TakeAll<geometry_msgs_msg_dds__WrenchStamped_>(commands, [&](const geometry_msgs_msg_dds__WrenchStamped_& m) {
            ++received;
            if (gate.Offer({m.wrench.force.x, m.wrench.force.y, m.wrench.force.z}, t))
                arrived.command = true;
            else
                ++rejected;
        });
        if (Following())
            TakeAll<geometry_msgs_msg_dds__PoseStamped_>(followed, [&](const geometry_msgs_msg_dds__PoseStamped_& m) {
                const Vec3 p{m.pose.position.x, m.pose.position.y, m.pose.position.z};
                if (!Finite(p)) return;
                remote = p;
                have_remote = true;
                fade.Arrived(t);
                arrived.pose = true;
            });
        return arrived;
    }

    // Hands the loop the command's force and the coupling's spring as they are at `t` (only
    // when they changed: the loop's editors take a mutex of their own). A command that just
    // arrived goes to the arm at once, not at the loop's next tick.
    void UpdateEffects(double t, bool command_arrived) {
        const Force force = gate.Output(t);
        const api::Devices::Vector3 command{static_cast<float>(force[0]), static_cast<float>(force[1]),
                                            static_cast<float>(force[2])};
        if (command != command_set && loop.SetEffect(command_effect, HapticEffect::ConstantForce(command))) {
            command_set = command;
            if (command_arrived) loop.Hurry();
        }
        if (!Following()) return;
        const float gain = static_cast<float>(fade.Update(t));
        const api::Devices::Vector3 centre{static_cast<float>(remote[0]), static_cast<float>(remote[1]),
                                           static_cast<float>(remote[2])};
        if (have_remote && (gain != coupling_gain_set || centre != centre_set) &&
            loop.SetEffect(coupling_effect, HapticEffect::Spring(centre, static_cast<float>(o.coupling_stiffness) * gain,
                                                                 static_cast<float>(o.coupling_damping) * gain))) {
            coupling_gain_set = gain;
            centre_set = centre;
        }
    }

    // The state publisher's thread: once a publication is due, the first state the loop
    // receives from then on is published as soon as it comes (the loop wakes this thread), so
    // a state reaches the network one wake-up after its reply, at --rate at most.
    void PublishStates(Publishers& publishers, const std::atomic<bool>& stop) {
        const Clock::duration period = PublishPeriod();
        auto due = Clock::now();
        while (!stop.load(std::memory_order_acquire) && loop.Running()) {
            std::this_thread::sleep_until(due);
            const uint64_t seen = loop.Iterations();
            if (loop.AwaitIteration(seen, Clock::now() + kStateWait) > seen) PublishState(publishers);
            // A publication that came late (the wait for the state is part of it) is made up by
            // the next one coming sooner, so the rate holds; one more than a period late is not.
            const auto now = Clock::now();
            due += period;
            if (due + period < now) due = now;
        }
    }

    // The newest state the loop received, once; a sample whose reply did not come carries no
    // new state and is not published.
    void PublishState(Publishers& publishers) {
        ServoLoop::Sample sample;
        if (loop.CopyTelemetry(&sample, 1) != 1 || !sample.replied || sample.time <= last_published) return;
        last_published = sample.time;
        ArmState state;
        // The arm took its state between the request and the reply: the exchange's midpoint.
        state.stamp_ns = epoch_realtime_ns + std::llround((sample.time + sample.round_trip / 2.0) * 1e9);
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

    void PublishDiagnostics(Publishers& publishers, Clock::time_point now, bool watchdog) {
        const ServoLoop::Stats stats = loop.GetStats();
        Diagnostics d;
        d.stamp_ns = RealtimeNs();
        d.hardware_id = o.port;
        // The loop's ticks: its iterations less the extra exchanges that hurried new commands.
        const uint64_t ticks = stats.iterations - stats.hurried;
        const double elapsed = Seconds(now - diagnostics_since);
        if (elapsed > 0)
            d.rate_hz = static_cast<uint64_t>(std::llround(static_cast<double>(ticks - diagnostics_ticks) / elapsed));
        diagnostics_ticks = ticks;
        diagnostics_since = now;
        d.missed_replies = stats.missed_replies;
        d.watchdog = watchdog ? 1 : 0;
        d.commands_received = received;
        d.commands_rejected = rejected;
        publishers.PublishDiagnostics(d);
    }

    const Options& o;
    api::IO::SerialStream* handle_stream;
    api::Devices::Handle* handle;
    JointSolver solver;
    ServoLoop loop;
    int command_effect = 0, coupling_effect = 0;
    int64_t epoch_realtime_ns = 0;
    dds_entity_t commands = 0, followed = 0, waitset = 0;

    // The bridge's thread only, from here on.
    CommandGate gate;
    CouplingFade fade;
    Vec3 remote{};
    bool have_remote = false;
    uint64_t received = 0, rejected = 0;
    api::Devices::Vector3 command_set{0.0f, 0.0f, 0.0f};
    float coupling_gain_set = 0.0f;
    api::Devices::Vector3 centre_set{0.0f, 0.0f, 0.0f};
    Clock::time_point start{}, next_control{}, next_diagnostics{}, diagnostics_since{}, last_take{};
    uint64_t diagnostics_ticks = 0;

    // The state publisher's thread only.
    double last_published = -1.0;
    Vec3 joints{};  // the last solution, where the next solve starts
};

// Blocks the stop signals in this thread and every thread it makes (the servo loop's, DDS's,
// the handle's), so that they stay pending until the bridge's thread sees them: nothing runs in
// a handler.
void BlockStopSignals() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);  // a closed terminal or ssh session: the same clean stop
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
}

}  // namespace

int RunBridge(const Options& o) {
    BlockStopSignals();
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
    return Bridge(o, arm, handle_stream.get(), handle.get()).Run();
}

}  // namespace tavix_bridge
