// Waits ended by the calling thread's cancellation check, and what the line owes afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "FakeDevice.h"
#include "MemoryStream.h"
#include "TavixHardwareAPI/Cancellation.h"
#include "TavixHardwareAPI/Discovery.h"
#include "TavixHardwareAPI/Handle.h"
#include "TavixHardwareAPI/HoldraStatus.h"
#include "TavixHardwareAPI/Osmira.h"

using namespace Tavix::HardwareAPI;
using Devices::Handle;
using Devices::Osmira;
using Devices::Vector3;
using tavix_test::Bytes;
using tavix_test::Concat;
using tavix_test::FakeDevice;
using tavix_test::Floats;
using tavix_test::MemoryStream;
using Clock = std::chrono::steady_clock;

namespace {

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A check that answers true from its first question on, counting the questions.
struct Interrupt {
    int asked = 0;
    static bool Check(void* self) {
        ++static_cast<Interrupt*>(self)->asked;
        return true;
    }
};

Bytes State(float value) { return Concat({{0x2B}, Floats({value, value, value, value, value, value})}); }

// An arm with a long read timeout on the memory stream, interrupted in its first reply wait.
struct Interrupted : ::testing::Test {
    MemoryStream stream;
    Osmira arm{stream, 5.0f};
    Interrupt interrupt;
    Vector3 position{}, velocity{};

    // One force exchange; true when its own reply came.
    bool Exchange() { return arm.ExchangeForce({0, 0, 0}, position, velocity); }
    bool InterruptedExchange() {
        CancelScope scope(&Interrupt::Check, &interrupt);
        return Exchange();
    }
};

TEST_F(Interrupted, AWaitEndsSilentlyAndEveryLaterWaitOfTheScopeEndsAtOnce) {
    const auto start = Clock::now();
    testing::internal::CaptureStderr();
    {
        CancelScope scope(&Interrupt::Check, &interrupt);
        EXPECT_FALSE(Exchange());
        EXPECT_EQ(arm.ReadHeaderCode(), 0);
        char raw[4];
        EXPECT_EQ(arm.ReadWithTimeout(raw, sizeof raw, 5.0f), 0u);
        EXPECT_EQ(Devices::GetHoldraStatus(arm).error_flag, Devices::kHoldraNoData);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // no timeout line for an interrupt
    EXPECT_LT(SecondsSince(start), 1.0);                     // instead of 5 s per wait
    EXPECT_EQ(interrupt.asked, 1);
    EXPECT_EQ(stream.written, Concat({{0x2A}, Floats({0, 0, 0})}));  // the one request that went out
    EXPECT_FALSE(Cancelled());                                         // the scope is gone
}

TEST_F(Interrupted, ALateReplyIsDiscardedBeforeTheNextRequest) {
    EXPECT_FALSE(InterruptedExchange());
    // The interrupted request's reply arrives late, behind a notification; then the next one's.
    stream.Feed(Concat({{0xBA, 0x00, 0x02, 0x11, 0x22}, State(1.0f), State(2.0f)}));
    EXPECT_TRUE(Exchange());
    EXPECT_EQ(position, (Vector3{2.0f, 2.0f, 2.0f}));
    EXPECT_EQ(stream.Available(), 0);
}

TEST_F(Interrupted, TheRestOfAReplyCutShortIsDiscarded) {
    stream.Feed(Concat({{0x2B}, Floats({1, 1})}));  // the code and 8 of its 24 payload bytes
    EXPECT_FALSE(InterruptedExchange());
    EXPECT_EQ(arm.owed_reply().after, 24u);  // the 8 waiting bytes were never taken
    stream.Feed(Concat({Floats({1, 1, 1, 1}), State(2.0f)}));
    EXPECT_TRUE(Exchange());
    EXPECT_EQ(velocity, (Vector3{2.0f, 2.0f, 2.0f}));
}

// What never comes within a whole read timeout is forgotten; the exchange that waited for it
// still sends its request but does not wait again (a silent arm costs one timeout per call):
// that request's reply is owed to the next exchange.
TEST_F(Interrupted, AReplyThatNeverComesIsForgottenAfterOneTimeout) {
    arm.read_timeout = 0.05f;
    EXPECT_FALSE(InterruptedExchange());
    const auto start = Clock::now();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Exchange());
    EXPECT_LT(SecondsSince(start), 0.09);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("[err] Library/src/Device:78> timeout waiting for header code", 0), 0u);
    EXPECT_EQ(stream.written.size(), 26u);  // both requests went out
    stream.Feed(Concat({State(3.0f), State(4.0f)}));  // the second request's answer, then the next one's
    EXPECT_TRUE(Exchange());
    EXPECT_EQ(position, (Vector3{4.0f, 4.0f, 4.0f}));
}

TEST_F(Interrupted, ARequestIsNotSentWhileSettlingTheLineIsInterrupted) {
    EXPECT_FALSE(InterruptedExchange());
    stream.written.clear();
    EXPECT_FALSE(InterruptedExchange());
    EXPECT_TRUE(stream.written.empty());
    EXPECT_EQ(arm.owed_reply().headers, 1);  // still one reply owed, not two
}

TEST_F(Interrupted, AnIdentifierQueryOwesBothEchoedCodesAndItsIdentifier) {
    {
        CancelScope scope(&Interrupt::Check, &interrupt);
        EXPECT_EQ(arm.GetDeviceId().ToHex(), UUID().ToHex());
    }
    Bytes late{0x0D, 0xD1, 16}, fresh{0x0D, 0xD1, 16};
    for (uint8_t i = 0; i < 16; ++i) {
        late.push_back(0xEE);
        fresh.push_back(i);
    }
    stream.Feed(Concat({late, fresh}));
    EXPECT_EQ(arm.GetDeviceId().ToHex(), "000102030405060708090a0b0c0d0e0f");
}

// The handle's status message: 21 fixed bytes, the last announcing that many user-data bytes.
TEST(InterruptedHandle, TheUserDataAnnouncedByACutStatusMessageIsDiscardedToo) {
    MemoryStream stream;
    Handle handle(stream);
    Interrupt interrupt;
    stream.Feed(Bytes{0xDA, 0x07, 0x00});  // a status message begins
    {
        CancelScope scope(&Interrupt::Check, &interrupt);
        EXPECT_EQ(handle.Receive(), 0);
    }
    Bytes rest(19, 0x00);  // the other 19 fixed bytes
    rest.back() = 3;       // user_data_length
    stream.Feed(Concat({rest, {0xAA, 0xBB, 0xCC}, {0xDF, 0x09, 0x00, 0x2A}}));
    EXPECT_EQ(handle.Receive(), 3);  // the error response after it, read whole
    EXPECT_EQ(stream.Available(), 0);
}

// A check that answers true once `after` has passed since the scope began.
struct InterruptAfter {
    Clock::time_point when;
    static bool Check(void* self) { return Clock::now() >= static_cast<InterruptAfter*>(self)->when; }
};

TEST(InterruptedDiscovery, AnInterruptedProbeIsToldToStopAndJoined) {
    FakeDevice silent;
    InterruptAfter interrupt{Clock::now() + std::chrono::milliseconds(50)};
    const auto start = Clock::now();
    testing::internal::CaptureStderr();
    {
        CancelScope scope(&InterruptAfter::Check, &interrupt);
        EXPECT_FALSE(TimedProbe(&ProbeOsmiraPort, silent.Path(), std::chrono::seconds(3)));
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // the probe's waits ended without a line
    EXPECT_LT(SecondsSince(start), 1.0);                     // a silent arm costs 10 s otherwise
    EXPECT_EQ(silent.Received(1), (Bytes{0x0A}));
}

}  // namespace
