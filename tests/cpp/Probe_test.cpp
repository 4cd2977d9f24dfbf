#include "TavixHardwareAPI/Probe.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

#include "FakeDevice.h"

using namespace Tavix::HardwareAPI;
using tavix_test::Bytes;
using tavix_test::Concat;
using tavix_test::FakeDevice;
using tavix_test::LockHolder;
using std::chrono::milliseconds;

namespace {

constexpr milliseconds kQuick{200};

Bytes Sample(const PortVerdict& verdict) { return Bytes(verdict.answer.begin(), verdict.answer.begin() + verdict.answer_length); }

// A framed status as a handle streams it: 17 payload bytes, device id `id` at byte 4, the
// checksum, 0xC0 and 0xDB escaped, then the end marker.
Bytes FramedStatus(uint8_t id) {
    Bytes payload(17, 0);
    payload[0] = 0xC0;  // a frame counter that needs escaping
    payload[4] = id;
    unsigned sum = 0xDA;
    for (uint8_t b : payload) sum += b;
    payload.push_back(static_cast<uint8_t>(sum));
    Bytes frame{0xDA};
    for (uint8_t b : payload) {
        if (b == 0xC0) frame.insert(frame.end(), {0xDB, 0xDC});
        else if (b == 0xDB) frame.insert(frame.end(), {0xDB, 0xDD});
        else frame.push_back(b);
    }
    frame.push_back(0xC0);
    return frame;
}

TEST(ProbePort, AnArmGivesItsWholeIdentityRecord) {
    FakeDevice arm;
    Bytes record{0x0B, 0x34, 0x12, 4, 2, 7};
    for (uint8_t i = 0; i < 16; ++i) record.push_back(i);
    arm.Send(record);
    const PortVerdict verdict = ProbePort(arm.Path(), kQuick);
    EXPECT_EQ(arm.Received(1), (Bytes{0x0A}));
    ASSERT_EQ(verdict.kind, ProbeKind::Arm);
    EXPECT_TRUE(verdict.has_identity && verdict.has_versions);
    EXPECT_EQ(verdict.identity.device_id, 0x1234);
    EXPECT_EQ(verdict.identity.hardware_version, 2);
    EXPECT_EQ(verdict.identity.firmware_version, 7);
    EXPECT_EQ(verdict.identity.device_id_ext.ToHex(), "000102030405060708090a0b0c0d0e0f");
    EXPECT_EQ(verdict.reason, "");
    EXPECT_EQ(verdict.link, "wired");
}

TEST(ProbePort, AHandleGivesItsDeviceIdFromInformationOrEitherStatusForm) {
    FakeDevice info, framed, framed_then_info, answered;
    info.Send({0xD0, 0, 0x34, 0x12, 2, 3, 4});
    framed.Send(FramedStatus(9));
    framed_then_info.Send(FramedStatus(9));
    framed_then_info.SendAfter(milliseconds(20), {0xD0, 0, 0x34, 0x12, 2, 3, 4});
    answered.Send(Concat({{0xDA, 0x21, 0x43}, Bytes(18), {2, 0xAA, 0xBB}}));

    const PortVerdict by_info = ProbePort(info.Path(), kQuick);
    ASSERT_EQ(by_info.kind, ProbeKind::Handle);
    EXPECT_TRUE(by_info.has_versions);
    EXPECT_EQ(by_info.identity.device_id, 0x1234);
    EXPECT_EQ(by_info.identity.device_model_number, 2);
    EXPECT_EQ(by_info.identity.firmware_version, 4);

    testing::internal::CaptureStderr();  // the timeout lines of the answers that never come
    const PortVerdict by_framed = ProbePort(framed.Path(), kQuick);
    ASSERT_EQ(by_framed.kind, ProbeKind::Handle);
    EXPECT_TRUE(by_framed.has_identity);
    EXPECT_FALSE(by_framed.has_versions);
    EXPECT_EQ(by_framed.identity.device_id, 9);

    const PortVerdict by_answered = ProbePort(answered.Path(), kQuick);
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(by_answered.kind, ProbeKind::Handle);
    EXPECT_EQ(by_answered.identity.device_id, 0x4321);

    // The wake-up's answer behind the frame is taken: the versions, and a clean line.
    const PortVerdict by_both = ProbePort(framed_then_info.Path(), kQuick);
    ASSERT_EQ(by_both.kind, ProbeKind::Handle);
    EXPECT_TRUE(by_both.has_versions);
    EXPECT_EQ(by_both.identity.device_id, 0x1234);
}

TEST(ProbePort, AnyOtherAnswerIsForeignWithItsFirstBytes) {
    FakeDevice text, other_model, cut_short, handle_error;
    text.Send({'H', 'e', 'l', 'l', 'o'});
    Bytes record{0x0B, 0x34, 0x12, 3, 2, 7};
    for (uint8_t i = 0; i < 16; ++i) record.push_back(i);
    other_model.Send(record);
    cut_short.Send({0x0B, 0x34, 0x12, 4});
    handle_error.Send({0xDF, 7, 0, 42});

    const PortVerdict hello = ProbePort(text.Path(), kQuick);
    EXPECT_EQ(hello.kind, ProbeKind::Unknown);
    EXPECT_EQ(hello.reason, "answered as something else");
    EXPECT_EQ(Sample(hello), (Bytes{'H', 'e', 'l', 'l', 'o'}));
    const PortVerdict model_3 = ProbePort(other_model.Path(), kQuick);
    EXPECT_EQ(model_3.kind, ProbeKind::Unknown);
    EXPECT_EQ(Sample(model_3), Bytes(record.begin(), record.begin() + PortVerdict::kAnswerSample));
    EXPECT_EQ(Sample(ProbePort(cut_short.Path(), kQuick)), (Bytes{0x0B, 0x34, 0x12, 4}));
    const PortVerdict error = ProbePort(handle_error.Path(), kQuick);
    EXPECT_EQ(error.kind, ProbeKind::Unknown);  // an error response does not make a handle
    EXPECT_EQ(Sample(error), (Bytes{0xDF, 7, 0, 42}));
}

TEST(ProbePort, SilentUnopenableAndBusyPortsSayWhy) {
    FakeDevice silent, held;
    const auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    const PortVerdict quiet = ProbePort(silent.Path(), kQuick);
    testing::internal::GetCapturedStderr();
    EXPECT_GE(std::chrono::steady_clock::now() - start, kQuick);
    EXPECT_EQ(quiet.kind, ProbeKind::Silent);
    EXPECT_EQ(quiet.reason, "no answer within 0.2 s");

    const PortVerdict absent = ProbePort("/nonexistent/ttyUSB0", kQuick);
    EXPECT_EQ(absent.kind, ProbeKind::Unopenable);
    EXPECT_EQ(absent.open_errno, ENOENT);
    EXPECT_EQ(absent.reason, "cannot open: No such file or directory");
    EXPECT_EQ(absent.link, "wired");

    // Another process holding the port's lock.
    PortVerdict busy;
    {
        const LockHolder holder(held.Path());
        ASSERT_TRUE(holder.Holding());
        busy = ProbePort(held.Path(), kQuick);
    }
    EXPECT_EQ(busy.kind, ProbeKind::Busy);
    EXPECT_EQ(busy.open_errno, EBUSY);
    EXPECT_EQ(busy.reason, "held by another program");
    EXPECT_EQ(held.Received(0, milliseconds(50)), Bytes{});  // nothing was written to it
}

TEST(ProbePort, LinkFollowsTheScanNameRules) {
    EXPECT_STREQ(LinkOfPort("/dev/ttyACM0"), "wired");
    EXPECT_STREQ(LinkOfPort("/dev/ttyUSB3"), "wired");
    EXPECT_STREQ(LinkOfPort("/dev/rfcomm0"), "wireless");
    EXPECT_STREQ(LinkOfPort("/dev/rfcomm-ttyUSB5"), "wired");  // ttyUSB is looked for first
    EXPECT_STREQ(LinkOfPort("/dev/rfcomm/ttyS0"), "wired");     // the name, not the directory
}

}  // namespace
