#include "TavixHardwareAPI/SerialStream.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstring>

#include "FakeDevice.h"

using Tavix::HardwareAPI::ErrorText;
using Tavix::HardwareAPI::IO::serialib;
using Tavix::HardwareAPI::IO::SerialStream;
using tavix_test::Bytes;
using tavix_test::FakeDevice;
using tavix_test::LockHolder;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kEof = std::char_traits<char>::eof();

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

serialib& BufferOf(SerialStream& s) { return *static_cast<serialib*>(s.rdbuf()); }

struct OpenPort : ::testing::Test {
    FakeDevice device;
    SerialStream stream{device.Path().c_str()};
    serialib& buffer = BufferOf(stream);
};

TEST_F(OpenPort, AppliesRaw115200Line) {
    ASSERT_TRUE(stream.IsOpen());
    termios t{};
    ASSERT_EQ(tcgetattr(buffer.Descriptor(), &t), 0);
    EXPECT_EQ(cfgetispeed(&t), B115200);
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_TRUE(fcntl(buffer.Descriptor(), F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(stream.good());
}

TEST_F(OpenPort, BlockReadWaitsAboutOneSecondForMissingBytes) {
    char s[8];
    auto start = Clock::now();
    EXPECT_EQ(buffer.sgetn(s, 8), 0);
    EXPECT_GT(SecondsSince(start), 0.95);
    EXPECT_LT(SecondsSince(start), 1.5);

    device.Send({1, 2, 3});
    start = Clock::now();
    EXPECT_EQ(buffer.sgetn(s, 8), 3);
    EXPECT_GT(SecondsSince(start), 0.95);
    EXPECT_EQ(Bytes(s, s + 3), (Bytes{1, 2, 3}));
}

TEST_F(OpenPort, LookaheadAndPutBack) {
    device.Send({0xA1, 0xA2});
    EXPECT_EQ(buffer.sgetc(), 0xA1);
    EXPECT_EQ(buffer.sgetc(), 0xA1);  // same byte, the port is not read again
    EXPECT_EQ(buffer.in_avail(), 1);
    EXPECT_EQ(buffer.sbumpc(), 0xA1);
    EXPECT_EQ(buffer.sbumpc(), 0xA2);

    EXPECT_EQ(buffer.sputbackc('\x42'), 0x42);
    EXPECT_EQ(buffer.sputbackc('\x43'), kEof);  // only one byte fits
    char s[1];
    const auto start = Clock::now();
    EXPECT_EQ(buffer.sgetn(s, 1), 1);  // served from the lookahead, without touching the port
    EXPECT_LT(SecondsSince(start), 0.5);
    EXPECT_EQ(s[0], 0x42);
}

TEST_F(OpenPort, UnreadBytesComeBackFirstAndAreCounted) {
    device.Send({1, 2, 3, 4, 5});
    char s[5];
    while (stream.Available() < 5) {
    }
    ASSERT_TRUE(stream.read(s, 3));
    EXPECT_TRUE(stream.Unread(s, 3));
    EXPECT_EQ(stream.Available(), 5);
    EXPECT_EQ(buffer.sgetc(), 1);
    EXPECT_EQ(buffer.sbumpc(), 1);
    // Bytes read partly from the put-back ones and partly from the port go back in front of
    // what is still put back: nothing is lost or reordered.
    ASSERT_TRUE(stream.read(s, 1));
    EXPECT_TRUE(stream.Unread(s, 1));
    ASSERT_TRUE(stream.read(s, 4));  // the rest of the put-back bytes, then the port's
    EXPECT_EQ(Bytes(s, s + 4), (Bytes{2, 3, 4, 5}));
    EXPECT_TRUE(stream.Unread(s, 4));
    EXPECT_TRUE(stream.Unread(s, 1));
    ASSERT_TRUE(stream.read(s, 5));
    EXPECT_EQ(Bytes(s, s + 5), (Bytes{2, 2, 3, 4, 5}));
    EXPECT_FALSE(stream.Unread(s, serialib::kReplaySize + 1));
}

TEST_F(OpenPort, SetbufChangesNothingAndBytesTravelIn300ByteBlocks) {
    char ignored[16];
    EXPECT_EQ(buffer.pubsetbuf(ignored, sizeof ignored), &buffer);
    Bytes out(300);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(buffer.sputn(reinterpret_cast<const char*>(out.data()), 300), 300);
    EXPECT_EQ(device.Received(300), out);

    device.Send(out);
    char in[300];
    EXPECT_EQ(buffer.sgetn(in, 300), 300);
    EXPECT_EQ(Bytes(in, in + 300), out);
    EXPECT_EQ(stream.Available(), 0);
}

TEST_F(OpenPort, FailedReadMakesLaterWritesFailSilently) {
    char s[2];
    stream.read(s, 2);  // nothing arrives: eofbit and failbit stay set
    ASSERT_TRUE(stream.eof());
    testing::internal::CaptureStderr();
    stream.Write("\x01", 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(device.Received().empty());
    EXPECT_TRUE(stream.eof());
}

TEST_F(OpenPort, CloseKeepsTheBufferAndEndsReadsAtOnce) {
    stream.Close();
    EXPECT_FALSE(stream.IsOpen());
    EXPECT_EQ(stream.Available(), 0);
    const auto start = Clock::now();
    EXPECT_EQ(buffer.sgetc(), kEof);
    EXPECT_LT(SecondsSince(start), 0.1);
}

TEST_F(OpenPort, HangUpClosesThePort) {
    ASSERT_TRUE(stream.IsOpen());
    device.HangUp();
    EXPECT_EQ(stream.Available(), 0);
    EXPECT_FALSE(stream.IsOpen());  // so that a wait without deadline ends
}

TEST(ClosedPort, MissingPathReadsEndAtOnceAndWritesPrintTheErrorLine) {
    SerialStream stream("/nonexistent/ttyACM9");
    EXPECT_FALSE(stream.IsOpen());
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(stream.Open(), -2);
    serialib& buffer = BufferOf(stream);
    char s[4];
    const auto start = Clock::now();
    EXPECT_EQ(buffer.sgetn(s, 4), 0);
    EXPECT_EQ(buffer.sgetc(), kEof);
    EXPECT_EQ(buffer.sbumpc(), kEof);
    EXPECT_EQ(buffer.in_avail(), 0);
    EXPECT_LT(SecondsSince(start), 0.1);
    EXPECT_EQ(stream.Available(), 0);

    testing::internal::CaptureStderr();
    stream.Write("", 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // an empty write on a good stream is fine

    testing::internal::CaptureStderr();
    errno = EIO;  // whatever errno held before: the line names the closed port instead
    stream.Write("abc", 3);
    stream.Write("abcd", 4);  // the state is sticky: the line comes again
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[err] Library/src/SerialStream:53> unable to write '3' bytes to stream: [9] Bad file descriptor\n"
              "[err] Library/src/SerialStream:53> unable to write '4' bytes to stream: [9] Bad file descriptor\n");
    EXPECT_TRUE(stream.bad());
}

// Exclusive use is between programs: a lock this process took on the port by other means (another
// copy of the library in it) does not keep it out; a lock of another process does.
TEST(ExclusiveUse, OnlyAnotherProcessKeepsAPortBusy) {
    FakeDevice device;
    const int other_copy = open(device.Path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other_copy, 0);
    ASSERT_EQ(flock(other_copy, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(SerialStream(device.Path().c_str(), false).Open(), 1);
    close(other_copy);

    const LockHolder holder(device.Path());
    ASSERT_TRUE(holder.Holding());
    SerialStream busy(device.Path().c_str(), false);
    EXPECT_EQ(busy.Open(), -2);
    EXPECT_EQ(busy.OpenError(), EBUSY);
    EXPECT_FALSE(busy.IsOpen());
}

TEST(ErrorText, EnglishTextWithoutTouchingTheProcessLocale) {
    const std::string before = std::setlocale(LC_ALL, nullptr);
    EXPECT_EQ(ErrorText(EIO), L"Input/output error");
    EXPECT_EQ(ErrorText(ENOENT), L"No such file or directory");
    EXPECT_EQ(ErrorText(0), L"Success");
    EXPECT_EQ(before, std::setlocale(LC_ALL, nullptr));
}

}  // namespace
