#include "TavixHardwareAPI/Device.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "FakeDevice.h"
#include "MemoryStream.h"

using Tavix::HardwareAPI::Devices::Device;
using Tavix::HardwareAPI::IO::SerialStream;
using tavix_test::Bytes;
using tavix_test::Concat;
using tavix_test::FakeDevice;
using tavix_test::Floats;
using tavix_test::MemoryStream;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string ErrorLine(unsigned line, const std::string& message, int err) {
    return "[err] Library/src/Device:" + std::to_string(line) + "> " + message + ": [" + std::to_string(err) + "] " +
           std::strerror(err) + "\n";
}

Bytes ReadBuffer(const Device& device, size_t n) {
    return Bytes(device.read_buffer.get(), device.read_buffer.get() + n);
}

struct Framing : ::testing::Test {
    MemoryStream stream;
    Device device{stream, 0.05f};
};

TEST_F(Framing, EachFrameLeavesInOneWrite) {
    const float values[3] = {1.0f, -2.5f, 3.0f};
    device.SendCommand(0x2A, values, 3);
    EXPECT_EQ(stream.written, Concat({{0x2A}, Floats({1.0f, -2.5f, 3.0f})}));
    EXPECT_EQ(stream.write_calls, 1u);

    stream.written.clear();
    device.write_buffer[0] = 0x0D;
    device.write_buffer[1] = static_cast<char>(0xD1);
    device.SendBytes(2);
    EXPECT_EQ(stream.written, (Bytes{0x0D, 0xD1}));
    EXPECT_EQ(stream.write_calls, 2u);
}

TEST_F(Framing, NotificationsBeforeAReplyAreSkippedWhole) {
    // One with a three-byte payload, one empty (three bytes in all), then the reply.
    stream.Feed({0xBA, 0x77, 0x03, 0xE1, 0xE2, 0xE3, 0xBB, 0x00, 0x00, 0x2B, 0x10, 0x20});
    EXPECT_EQ(device.ReadHeaderCode(), 0x2B);
    EXPECT_EQ(stream.Available(), 2);
    EXPECT_EQ(device.ReadBytes(2), 2);
    EXPECT_EQ(ReadBuffer(device, 2), (Bytes{0x10, 0x20}));
}

// Every failure returns 0 and prints its own line (or, after end of file, none); the errno
// in the line is whatever errno held.
TEST_F(Framing, FailuresPrintTheirLines) {
    struct Case {
        const char* name;
        Bytes waiting;
        std::ios_base::iostate state;
        std::function<int(Device&)> read;
        std::string line;
        int left_waiting;
    };
    const auto header = [](Device& d) { return int{d.ReadHeaderCode()}; };
    const auto bytes = [](size_t n) { return [n](Device& d) { return d.ReadBytes(n); }; };
    const auto eof = std::ios_base::eofbit | std::ios_base::failbit;
    const Case cases[] = {
        {"silence", {}, {}, header, ErrorLine(78, "timeout waiting for header code", EIO), 0},
        {"failed stream", {0x2B}, std::ios_base::failbit, header,
         ErrorLine(94, "unable to read header code from stream", EIO), 1},
        {"header at end of file", {0x2B}, eof, header, "", 1},
        {"notification cut after its code", {0xBA}, {}, header,
         ErrorLine(112, "timeout draining notification header", EIO), 0},
        {"notification payload short", {0xBB, 0x00, 0x05, 1, 2}, {}, header,
         ErrorLine(128, "timeout draining notification payload", EIO), 2},
        {"payload short", {1, 2, 3}, {}, bytes(4), ErrorLine(153, "timeout waiting for bytes", EIO), 3},
        {"payload from failed stream", {1, 2, 3, 4}, std::ios_base::badbit, bytes(4),
         ErrorLine(163, "unable to read '4' bytes from stream", EIO), 4},
        {"payload at end of file", {1, 2, 3, 4}, eof, bytes(4), "", 4},
        // Larger than read_buffer: refused at once, nothing consumed.
        {"beyond the buffer", Bytes(1100, 0x55), {}, bytes(1025),
         ErrorLine(163, "unable to read '1025' bytes from stream", EINVAL), 1100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryStream s;
        s.Feed(c.waiting);
        s.setstate(c.state);
        Device d(s, 0.05f);
        testing::internal::CaptureStderr();
        errno = EIO;
        EXPECT_EQ(c.read(d), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
        EXPECT_EQ(s.Available(), c.left_waiting);
    }
}

struct OverPty : ::testing::Test {
    FakeDevice fake;
    SerialStream stream{fake.Path().c_str()};
};

TEST_F(OverPty, EachNotificationPieceRestartsTheWait) {
    // Six pieces 4 s apart under the default 5 s timeout: 20 s in all, never 5 s without a byte.
    Device device(stream, Device::kDefaultTimeout);
    fake.Send({0xBA});
    for (const Bytes& piece : {Bytes{0x11, 0x03}, Bytes{1, 2, 3}, Bytes{0xBB}, Bytes{0x22, 0x00}, Bytes{0x1B}})
        fake.SendAfter(4s, piece);
    testing::internal::CaptureStderr();
    EXPECT_EQ(device.ReadHeaderCode(), 0x1B);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(OverPty, TimeoutEndsTheWaitAfterReadTimeout) {
    Device device(stream, 0.2f);
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_GE(SecondsSince(start), 0.2);
    EXPECT_LT(SecondsSince(start), 1.5);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(":78> timeout waiting for header code: ["),
              std::string::npos);
}

TEST_F(OverPty, NoDeadlineWaitsForLateBytesOnAnOpenPort) {
    Device device(stream, 0.0f);
    fake.SendAfter(300ms, {0x2B, 1, 2, 3, 4});
    const auto start = Clock::now();
    EXPECT_EQ(device.ReadHeaderCode(), 0x2B);
    EXPECT_GE(SecondsSince(start), 0.25);
    EXPECT_EQ(device.ReadBytes(4), 4);
    EXPECT_EQ(ReadBuffer(device, 4), (Bytes{1, 2, 3, 4}));
}

TEST_F(OverPty, NoDeadlineEndsAtOnceOnAClosedPort) {
    Device device(stream, 0.0f);
    stream.Close();
    char dst[4];
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(device.ReadBytes(4), 0);
    EXPECT_EQ(device.ReadWithTimeout(dst, 4, 0.0f), 0u);
    EXPECT_LT(SecondsSince(start), 0.5);
    const std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_NE(lines.find(":78> timeout waiting for header code"), std::string::npos);
    EXPECT_NE(lines.find(":153> timeout waiting for bytes"), std::string::npos);
}

TEST_F(Framing, FlushDiscardsAtMost32KiBPerCall) {
    stream.Feed(Bytes(40000, 0x42));
    device.FlushInput();
    EXPECT_EQ(stream.Available(), 40000 - 32768);
    device.FlushInput();
    EXPECT_EQ(stream.Available(), 0);
    device.FlushInput();  // nothing waiting: returns without waiting
}

}  // namespace
