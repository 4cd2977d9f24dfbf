#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>

#include "FakeDevice.h"
#include "MemoryStream.h"
#include "TavixHardwareAPI/Device.h"

using Tavix::HardwareAPI::Devices::Device;
using Tavix::HardwareAPI::IO::SerialStream;
using tavix_test::FakeDevice;
using tavix_test::MemoryStream;
using Clock = std::chrono::steady_clock;

namespace {

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A timeout too long for the clock (up to infinity) is a wait without deadline, not one
// whose deadline has already passed.
TEST(DeviceWaits, TimeoutsBeyondTheClockWaitForTheReply) {
    for (const float timeout : {1e10f, INFINITY}) {
        FakeDevice fake;
        SerialStream stream(fake.Path().c_str());
        Device device(stream, timeout);
        fake.SendAfter(std::chrono::milliseconds(50), {0xBA, 0x00, 0x01, 0x55, 0x2B});
        testing::internal::CaptureStderr();
        EXPECT_EQ(device.ReadHeaderCode(), 0x2B) << "timeout " << timeout;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
}

// Nothing can arrive on a closed port: every wait ends at once, with or without a deadline,
// and its line names the closed descriptor.
TEST(DeviceWaits, WaitsEndAtOnceOnAPortThatIsNotOpen) {
    for (const float timeout : {INFINITY, 5.0f}) {
    MemoryStream stream;
    stream.open = false;
    Device device(stream, timeout);
    char destination[4];
    const auto start = Clock::now();
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(device.ReadWithTimeout(destination, sizeof destination, INFINITY), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[err] Library/src/Device:78> timeout waiting for header code: [9] Bad file descriptor\n");
    EXPECT_LT(SecondsSince(start), 1.0);
    }
}

TEST(DeviceFraming, CommandWithoutFloatsSendsTheCodeAlone) {
    MemoryStream stream;
    Device device(stream, 0.2f);
    device.SendCommand(0x0A, nullptr, 0);  // no floats: the pointer must not be touched
    EXPECT_EQ(stream.written, (std::vector<uint8_t>{0x0A}));
    EXPECT_EQ(stream.write_calls, 1u);
}

}  // namespace
