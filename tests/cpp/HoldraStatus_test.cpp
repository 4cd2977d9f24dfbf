#include "TavixHardwareAPI/HoldraStatus.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <ctime>
#include <vector>

#include "HoldraFrames.h"
#include "MemoryStream.h"

using Tavix::HardwareAPI::Devices::Device;
using Tavix::HardwareAPI::Devices::GetHoldraStatus;
using Tavix::HardwareAPI::Devices::HoldraStatus;
using tavix_test::Frame;
using tavix_test::MemoryStream;
using Bytes = std::vector<uint8_t>;

namespace {

const Bytes kExampleFrame = {0xDA, 0x00, 0x00, 0x00, 0x45, 0x07, 0x00, 0x00, 0x00, 0x00,
                             0x40, 0x00, 0x20, 0x00, 0xE0, 0xFF, 0x7F, 0xC8, 0xAC, 0xC0};

// 17 payload bytes: error flag, level and buttons, device id, the raw quaternion, battery byte.
Bytes Payload(uint8_t error_flag, uint8_t level_and_buttons, uint8_t device_id, std::array<uint16_t, 4> raw,
              uint8_t battery) {
    Bytes payload = {0x00, 0x00, error_flag, level_and_buttons, device_id, 0x00, 0x00, 0x00};
    for (uint16_t component : raw) {
        payload.push_back(static_cast<uint8_t>(component & 0xFF));
        payload.push_back(static_cast<uint8_t>(component >> 8));
    }
    payload.push_back(battery);
    return payload;
}

const Bytes kPlainPayload = Payload(0, 0x21, 9, {0x4000, 0, 0, 0}, 100);

struct Snapshot : ::testing::Test {
    MemoryStream stream;
    Device device{stream, 0.05f};

    HoldraStatus Get() { return GetHoldraStatus(device); }
};

void ExpectFailure(const HoldraStatus& status, int code) {
    EXPECT_EQ(status.error_flag, code);
    EXPECT_EQ(status.device_id, 0);
    EXPECT_EQ(status.hall_effect_sensor_level, 0);
    EXPECT_EQ(status.buttons, 0);
    EXPECT_EQ(status.battery_level, 0.0f);
    for (float component : status.quaternion) EXPECT_EQ(component, 0.0f);
}

TEST_F(Snapshot, ExampleFrameDecodes) {
    EXPECT_EQ(Frame(Payload(0, 0x45, 7, {0x4000, 0x2000, 0xE000, 0x7FFF}, 200)), kExampleFrame);
    stream.Feed(kExampleFrame);
    const HoldraStatus status = Get();
    EXPECT_EQ(status.device_id, 7);
    EXPECT_EQ(status.quaternion[0], 0.5f);
    EXPECT_EQ(status.quaternion[1], -0.25f);
    EXPECT_EQ(status.quaternion[2], 0.25f);
    EXPECT_EQ(static_cast<double>(status.quaternion[3]), 0.999969482421875);
    EXPECT_EQ(status.error_flag, 0);
    EXPECT_EQ(status.hall_effect_sensor_level, 5);
    EXPECT_EQ(status.buttons, 2);
    EXPECT_EQ(status.battery_level, 4.0f);
    EXPECT_EQ(stream.Available(), 0);
}

TEST_F(Snapshot, ExtremeRawValuesSignsAndBattery) {
    stream.Feed(Frame(Payload(0, 0xFF, 1, {0x8000, 0x8000, 0x0000, 0x7FFF}, 255)));
    const HoldraStatus status = Get();
    EXPECT_EQ(status.quaternion[0], -1.0f);
    EXPECT_EQ(status.quaternion[1], 1.0f);
    EXPECT_EQ(status.quaternion[2], 0.0f);
    EXPECT_TRUE(std::signbit(status.quaternion[2]));  // a zero component 2 comes back as -0.0
    EXPECT_EQ(static_cast<double>(status.quaternion[3]), 0.999969482421875);
    EXPECT_EQ(static_cast<double>(status.battery_level), 4.275000095367432);
    EXPECT_EQ(status.hall_effect_sensor_level, 31);
    EXPECT_EQ(status.buttons, 7);
}

TEST_F(Snapshot, EscapedBytesAreRestored) {
    const Bytes wire = Frame(Payload(0xDB, 0, 0xC0, {0, 0, 0, 0}, 0));
    EXPECT_EQ(Bytes(wire.begin() + 3, wire.begin() + 7), (Bytes{0xDB, 0xDD, 0x00, 0xDB}));
    stream.Feed(wire);
    const HoldraStatus status = Get();
    EXPECT_EQ(status.device_id, 192);
    EXPECT_EQ(status.error_flag, 0xDB);
    EXPECT_EQ(status.battery_level, 3.0f);
}

TEST_F(Snapshot, OversizedFrameWithEscapesEverywhereDecodesAndLeavesTheNextFrame) {
    Bytes payload = kPlainPayload;
    for (int i = 0; payload.size() < 4999; ++i) payload.push_back(i % 2 ? 0xDB : 0xC0);
    const Bytes oversized = Frame(payload);  // 5000 body bytes, nearly 10000 on the wire
    const Bytes next = Frame(Payload(0, 0, 2, {0, 0, 0, 0}, 0));
    stream.Feed(oversized);
    stream.Feed(next);
    EXPECT_EQ(Get().device_id, 9);
    EXPECT_EQ(stream.Available(), static_cast<int>(next.size()));
}

TEST_F(Snapshot, StrayEscapeByteIsDroppedAndTheNextByteStandsForItself) {
    Bytes wire = Frame(kPlainPayload);
    wire.insert(wire.begin() + 5, 0xDB);  // before the device id byte
    stream.Feed(wire);
    EXPECT_EQ(Get().device_id, 9);
}

TEST_F(Snapshot, BadChecksumFallsThroughToTheNextFrameOrFails) {
    Bytes bad = Frame(kPlainPayload);
    bad[6] ^= 0x01;
    stream.Feed(bad);
    stream.Feed(Frame(Payload(0, 0, 4, {0, 0, 0, 0}, 0)));
    EXPECT_EQ(Get().device_id, 4);

    stream.Feed(bad);
    ExpectFailure(Get(), 3);
    EXPECT_EQ(stream.Available(), 0);
}

TEST_F(Snapshot, BodyTooShortForItsFieldsIsRefusedEvenWithASoundChecksum) {
    const Bytes short_payload(kPlainPayload.begin(), kPlainPayload.end() - 1);  // no battery byte
    Bytes wire = Frame(short_payload);
    ASSERT_EQ(wire.size(), 19u);
    stream.Feed(wire);
    ExpectFailure(Get(), 3);
}

TEST_F(Snapshot, FrameEndingInAnEscapeByteIsRefused) {
    Bytes wire = Frame(kPlainPayload);
    wire.back() = 0xDB;  // cut after an escape byte, no end marker
    stream.Feed(wire);
    ExpectFailure(Get(), 3);
}

TEST_F(Snapshot, SecondFrameStaysInTheStream) {
    const Bytes second = Frame(Payload(0, 0, 2, {0, 0, 0, 0}, 0));
    stream.Feed(Frame(kPlainPayload));
    stream.Feed(second);
    EXPECT_EQ(Get().device_id, 9);
    EXPECT_EQ(stream.Available(), static_cast<int>(second.size()));
    EXPECT_EQ(Get().device_id, 2);
}

TEST_F(Snapshot, HeaderSearchGivesUpAfterOneHundredAndOneForeignCodes) {
    stream.Feed(Bytes(100, 0x01));
    stream.Feed(Frame(kPlainPayload));
    EXPECT_EQ(Get().device_id, 9);  // the 101st code read is the frame's header

    stream.Feed(Bytes(101, 0x01));
    stream.Feed(Frame(kPlainPayload));
    ExpectFailure(Get(), 3);
}

TEST_F(Snapshot, HeaderReadFailuresGiveTwo) {
    stream.Feed(Bytes(19, 0x01));  // the foreign codes run out and the header wait times out
    ::testing::internal::CaptureStderr();
    ExpectFailure(Get(), 2);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("timeout waiting for header code"), std::string::npos);

    stream.Feed(Bytes(19, 0x00));  // a 0x00 where a header code was expected
    ExpectFailure(Get(), 2);
}

// A stream that claims bytes it cannot deliver: its reads fail at the end of what was fed.
struct OverclaimingStream : MemoryStream {
    int Available() override { return MemoryStream::Available() + 64; }
};

TEST(SnapshotOnAFailingStream, SearchEndsInsteadOfCollectingStaleBytes) {
    OverclaimingStream stream;
    Device device(stream, 0.05f);
    Bytes wire = Frame(kPlainPayload);
    wire.resize(10);  // the read fails in the middle of the frame
    stream.Feed(wire);
    ExpectFailure(GetHoldraStatus(device), 2);
}

// A scripted whole-second clock: the values in turn, then the last one for ever.
std::vector<std::time_t> clock_script;
size_t clock_reads = 0;
MemoryStream* stream_fed_by_clock = nullptr;

std::time_t ScriptedClock(std::time_t*) {
    const std::time_t now = clock_script[std::min(clock_reads, clock_script.size() - 1)];
    ++clock_reads;
    if (stream_fed_by_clock != nullptr && clock_reads == 3) stream_fed_by_clock->Feed(Frame(kPlainPayload));
    return now;
}

struct SnapshotClock : Snapshot {
    void SetUp() override {
        clock_reads = 0;
        stream_fed_by_clock = nullptr;
    }
    void TearDown() override { stream_fed_by_clock = nullptr; }
};

TEST_F(SnapshotClock, WaitEndsOnlyWhenMoreThanOneSecondHasPassed) {
    clock_script = {100, 100, 101, 101, 102, 103};
    stream.Feed(Bytes(18, 0xDA));  // one byte short of enough
    ExpectFailure(GetHoldraStatus(device, &ScriptedClock), 99);
    EXPECT_EQ(clock_reads, 5u);
    EXPECT_EQ(stream.Available(), 18);  // nothing was read
}

TEST_F(SnapshotClock, FrameArrivingDuringTheWaitIsDecoded) {
    clock_script = {100, 100, 101, 101, 102};
    stream_fed_by_clock = &stream;
    EXPECT_EQ(GetHoldraStatus(device, &ScriptedClock).device_id, 9);
    EXPECT_EQ(clock_reads, 3u);
}

}  // namespace
