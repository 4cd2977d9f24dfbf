#include "DeviceLoop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace tavix_devsim {

namespace {
// A request left unfinished this long is abandoned, so that a host that gave up halfway
// does not shift every later request.
constexpr auto kInterByteTimeout = std::chrono::milliseconds(100);
}  // namespace

DeviceLoop::DeviceLoop(std::unique_ptr<SimDevice> device, const FaultPlan& faults, double notify_hz, bool spin)
    : line(pty, faults),
      device(std::move(device)),
      notify_period(PeriodOf(notify_hz)),
      next_notification(notify_period == Clock::duration::zero() ? Clock::time_point::max()
                                                                 : Clock::now() + notify_period),
      device_due(Clock::now()),
      spin(spin) {}

DeviceLoop::~DeviceLoop() { Join(); }

void DeviceLoop::Start(int stop_fd, const std::atomic<bool>& stopping) {
    thread = std::thread([this, stop_fd, &stopping] { Run(stop_fd, stopping); });
}

void DeviceLoop::Join() {
    if (thread.joinable()) thread.join();
}

Clock::time_point DeviceLoop::NextDue() const { return std::min({line.NextDue(), device_due, next_notification}); }

void DeviceLoop::SendPeriodic(Clock::time_point now) {
    if (now >= next_notification) {
        line.SendNotification(now);
        next_notification = NextBeat(next_notification, notify_period, now);
    }
    if (now >= device_due) device_due = device->OnTick(now, line);
}

void DeviceLoop::Run(int stop_fd, const std::atomic<bool>& stopping) {
    while (!stopping.load(std::memory_order_relaxed)) {
        Clock::time_point now = Clock::now();
        line.Flush(now);
        if (line.HungUp()) return;
        SendPeriodic(now);

        timespec wait{};
        const timespec* timeout = &wait;
        const Clock::time_point due = NextDue();
        if (!spin) {
            if (due == Clock::time_point::max()) {
                timeout = nullptr;
            } else if (due > now) {
                const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(due - now).count();
                wait.tv_sec = static_cast<time_t>(left / 1000000000);
                wait.tv_nsec = static_cast<long>(left % 1000000000);
            }
        }
        pollfd fds[3] = {{pty.Master(), POLLIN, 0}, {stop_fd, POLLIN, 0}, {pty.OpenWatch(), POLLIN, 0}};
        const int ready = ppoll(fds, pty.OpenWatch() >= 0 ? 3 : 2, timeout, nullptr);
        if (ready < 0 && errno != EINTR) return;
        if (ready <= 0 || (fds[1].revents & POLLIN)) continue;
        if (fds[2].revents & POLLIN) FollowHost(Clock::now());
        if (fds[0].revents & POLLIN) ReadRequests();
        else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
    }
}

void DeviceLoop::FollowHost(Clock::time_point now) {
    const Pty::HostChanges changes = pty.ReadOpenEvents();
    // The last host left: the next one starts afresh. Nothing was written since it left (the
    // events are read before any request of a host that came since), so whatever waits now,
    // also when a new host has come meanwhile, is what the last host left unread.
    if (changes.left) pty.DiscardBacklog();
    if (changes.arrived && pty.HostHasPort()) device->OnHostArrived(now);
}

void DeviceLoop::ReadRequests() {
    const ssize_t got = read(pty.Master(), pending.data() + pending_length, pending.size() - pending_length);
    if (got <= 0) return;
    const Clock::time_point now = Clock::now();
    if (pending_length > 0 && now - last_byte > kInterByteTimeout) {
        std::memmove(pending.data(), pending.data() + pending_length, static_cast<size_t>(got));
        pending_length = 0;
    }
    last_byte = now;
    pending_length += static_cast<size_t>(got);

    size_t at = 0;
    while (at < pending_length) {
        const size_t length = device->RequestLength(pending.data() + at, pending_length - at);
        if (length == 0) {  // not a request of this device: skip the byte
            ++at;
            continue;
        }
        if (length > pending_length - at) break;
        device->OnRequest(pending.data() + at, length, now, line);
        at += length;
        line.RequestHandled(now);
        if (line.HungUp()) return;
    }
    std::memmove(pending.data(), pending.data() + at, pending_length - at);
    pending_length -= at;
}

}  // namespace tavix_devsim
