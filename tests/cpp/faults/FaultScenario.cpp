#include "FaultScenario.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>

#include "TavixHardwareAPI/HoldraStatus.h"

namespace tavix_test {

namespace {

using Clock = std::chrono::steady_clock;

// Room on top of a bound for a shared, noisy machine; a hang still fails.
std::chrono::milliseconds Allowance(std::chrono::milliseconds bound) {
    return bound * 3 / 2 + std::chrono::milliseconds(300);
}

std::string WithoutErrno(const std::string& lines) {
    std::istringstream in(lines);
    std::string out;
    for (std::string line; std::getline(in, line);) out += line.substr(0, line.rfind(": [")) + "\n";
    return out;
}

const char* ScenarioName() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

// Whatever the last scenario did, the library still talks to a device that behaves.
void ExpectFreshDeviceWorks() {
    FakeDevice fake;
    SerialStream stream(fake.Path().c_str());
    Device device(stream, kFaultTimeout);
    const float force[3] = {1.0f, -2.0f, 0.5f};
    device.SendCommand(42, force, 3);
    EXPECT_EQ(fake.Received(13), Concat({{42}, Floats({1.0f, -2.0f, 0.5f})}));

    const Bytes payload = Floats({0.1f, 0.2f, 0.3f, 0.0f, -1.0f, 4.0f});
    fake.Send(Concat({{0x2B}, payload}));
    EXPECT_EQ(ReadReply(device, 0x2B, payload.size()), "reply 0x2B 24 bytes");
    EXPECT_EQ(std::memcmp(device.read_buffer.get(), payload.data(), payload.size()), 0);
}

}  // namespace

std::string ReadReply(Device& device, uint8_t code, size_t length) {
    const uint8_t got = device.ReadHeaderCode();
    if (got != code) {
        device.ReadBytes(Device::kBufferSize);
        return "missing";
    }
    if (device.ReadBytes(length) != static_cast<int>(length)) return "missing";
    char text[32];
    std::snprintf(text, sizeof text, "reply 0x%02X %zu bytes", code, length);
    return text;
}

std::string ReadOneReply(SerialStream& stream) {
    Device device(stream, kFaultTimeout);
    return ReadReply(device, 0x2B, 24);
}

RecordingHandle::RecordingHandle(SerialStream& stream) : Handle(stream) { read_timeout = kFaultTimeout; }

std::string RecordingHandle::ReceiveOne() {
    callback = "no callback";
    return "Receive " + std::to_string(Receive()) + ", " + callback;
}

void RecordingHandle::OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) { callback = "info callback"; }

void RecordingHandle::OnReceiveHandleStatusMessage(uint16_t, float*, uint8_t, uint8_t, uint8_t user_data_length,
                                                   uint8_t*) {
    callback = "status callback with " + std::to_string(user_data_length) + " user-data bytes";
}

void RecordingHandle::OnReceiveHandleErrorResponse(uint16_t, uint8_t) { callback = "error callback"; }

std::string TakeHoldraStatus(SerialStream& stream) {
    Device device(stream, kFaultTimeout);
    const Tavix::HardwareAPI::Devices::HoldraStatus status = GetHoldraStatus(device);
    if (status.device_id != 0) return "device " + std::to_string(status.device_id);
    return "error_flag " + std::to_string(status.error_flag);
}

void RunFaultScenario(const FaultScenario& scenario) {
    {
        FakeDevice fake;
        SerialStream stream(fake.Path().c_str());
        scenario.misbehave(fake);
        testing::internal::CaptureStderr();
        const Clock::time_point start = Clock::now();
        const std::string result = scenario.call(stream);
        const double measured_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        const std::string lines = testing::internal::GetCapturedStderr();

        EXPECT_EQ(result, scenario.fallback);
        EXPECT_EQ(WithoutErrno(lines), scenario.error_lines);
        EXPECT_LE(measured_ms, Allowance(scenario.bound).count()) << "milliseconds";
        std::printf("| %s | %lld ms | %.0f ms | %s |\n", ScenarioName(),
                    static_cast<long long>(scenario.bound.count()), measured_ms, result.c_str());
    }  // the fake device finishes its script and hangs up
    ExpectFreshDeviceWorks();
}

}  // namespace tavix_test
