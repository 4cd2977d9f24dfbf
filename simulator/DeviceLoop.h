// One thread per simulated device: it sleeps in ppoll() on the device's pseudo-terminal
// (or, with spin, polls without sleeping), answers each request as soon as it is whole,
// and in between sends held-back output, notifications and the device's own messages.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "Faults.h"
#include "Pty.h"
#include "SimDevice.h"

namespace tavix_devsim {

class DeviceLoop {
public:
    // Opens the device's pseudo-terminal; throws std::runtime_error when none is left.
    DeviceLoop(std::unique_ptr<SimDevice> device, const FaultPlan& faults, double notify_hz, bool spin);
    ~DeviceLoop();
    DeviceLoop(const DeviceLoop&) = delete;
    DeviceLoop& operator=(const DeviceLoop&) = delete;

    const std::string& Path() const { return pty.SlavePath(); }
    // Serves until `stopping` is set and `stop_fd` becomes readable (both outlive the loop),
    // or until a hang-up fault has cut the line.
    void Start(int stop_fd, const std::atomic<bool>& stopping);
    void Join();

private:
    void Run(int stop_fd, const std::atomic<bool>& stopping);
    void ReadRequests();
    // Acts on hosts opening and closing the port.
    void FollowHost(Clock::time_point now);
    void SendPeriodic(Clock::time_point now);
    Clock::time_point NextDue() const;

    Pty pty;
    Line line;
    std::unique_ptr<SimDevice> device;
    Clock::duration notify_period;
    Clock::time_point next_notification;
    Clock::time_point device_due;
    bool spin;
    // A request may arrive in pieces; the longest (handle state) is 259 bytes.
    std::array<uint8_t, 1024> pending{};
    size_t pending_length = 0;
    Clock::time_point last_byte{};
    std::thread thread;
};

}  // namespace tavix_devsim
