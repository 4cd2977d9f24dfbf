#include "TavixHardwareAPI/Handle.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "FakeDevice.h"

using Tavix::HardwareAPI::Devices::Handle;
using Tavix::HardwareAPI::Devices::HandleErrorRecord;
using Tavix::HardwareAPI::Devices::HandleInfoRecord;
using Tavix::HardwareAPI::Devices::HandleStatusRecord;
using Tavix::HardwareAPI::IO::SerialStream;
using tavix_test::Bytes;
using tavix_test::Concat;
using tavix_test::FakeDevice;
using tavix_test::Floats;
using Clock = std::chrono::steady_clock;

namespace {

// Notes every callback in the order the handle calls it, with what it was given.
struct RecordingHandle : Handle {
    using Handle::Handle;

    std::vector<std::string> calls;
    std::array<int, 5> info_arguments{};
    HandleInfoRecord info_record{};
    uint16_t status_device_id = 0;
    std::array<float, 4> quaternion{};
    std::array<int, 3> status_bytes{};  // error_flag, hall_effect_sensor_level, user_data_length
    Bytes user_data;
    HandleStatusRecord status_record{};
    std::array<int, 2> error_arguments{};
    HandleErrorRecord error_record{};

    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t model, uint8_t hardware,
                             uint8_t firmware) override {
        calls.push_back("info");
        info_arguments = {tool_data_remaining, device_id, model, hardware, firmware};
    }
    void OnReceiveHandleInfoRecord(const HandleInfoRecord& record) override {
        calls.push_back("info record");
        info_record = record;
    }
    void OnReceiveHandleStatusMessage(uint16_t device_id, float* q, uint8_t error_flag, uint8_t hall,
                                      uint8_t length, uint8_t* data) override {
        calls.push_back("status");
        status_device_id = device_id;
        quaternion = {q[0], q[1], q[2], q[3]};
        status_bytes = {error_flag, hall, length};
        user_data.assign(data, data + length);
    }
    void OnReceiveHandleStatusRecord(const HandleStatusRecord& record) override {
        calls.push_back("status record");
        status_record = record;
    }
    void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
        calls.push_back("error");
        error_arguments = {device_id, error_code};
    }
    void OnReceiveHandleErrorRecord(const HandleErrorRecord& record) override {
        calls.push_back("error record");
        error_record = record;
    }
};

Bytes StatusMessage(const Bytes& user_data) {
    Bytes message = Concat({{0xDA, 0x34, 0x12, 0x01, 0x1F}, Floats({0.5f, -0.5f, 0.25f, 1.0f})});
    message.push_back(static_cast<uint8_t>(user_data.size()));
    return Concat({message, user_data});
}

struct HandleOnPty : ::testing::Test {
    FakeDevice device;
    SerialStream stream{device.Path().c_str()};
    RecordingHandle handle{stream};
};

TEST_F(HandleOnPty, CommandsAreWrittenByteForByte) {
    EXPECT_EQ(handle.read_timeout, 5.0f);
    handle.SendDeviceWakeup();
    EXPECT_EQ(device.Received(1), (Bytes{0x0A}));
    handle.RequestStatus();
    EXPECT_EQ(device.Received(1), (Bytes{0xDA}));
    const uint8_t data[] = {0xAA, 0xBB, 0xCC};
    handle.SendHandleState(0x1234, 2, data);
    EXPECT_EQ(device.Received(6), (Bytes{0xDB, 0x34, 0x12, 0x02, 0xAA, 0xBB}));
    handle.SendHandleState(0, 0, nullptr);
    EXPECT_EQ(device.Received(4), (Bytes{0xDB, 0x00, 0x00, 0x00}));
}

TEST_F(HandleOnPty, InformationGivesEveryFieldItsOwnByte) {
    // A notification ahead of the message is skipped.
    device.Send({0xBA, 0x00, 0x02, 0xEE, 0xEE, 0xD0, 0x05, 0x34, 0x12, 0x02, 0x03, 0x04});
    EXPECT_EQ(handle.Receive(), 6);
    EXPECT_EQ(handle.calls, (std::vector<std::string>{"info", "info record"}));
    EXPECT_EQ(handle.info_arguments, (std::array<int, 5>{5, 0x1234, 2, 3, 4}));
    EXPECT_EQ(handle.info_record.tool_data_remaining, 5);
    EXPECT_EQ(handle.info_record.device_id, 0x1234);
    EXPECT_EQ(handle.info_record.device_model_number, 2);
    EXPECT_EQ(handle.info_record.hardware_version, 3);
    EXPECT_EQ(handle.info_record.firmware_version, 4);
}

TEST_F(HandleOnPty, StatusWithoutUserData) {
    device.Send(StatusMessage({}));
    EXPECT_EQ(handle.Receive(), 21);
    EXPECT_EQ(handle.calls, (std::vector<std::string>{"status", "status record"}));
    EXPECT_EQ(handle.status_device_id, 0x1234);
    EXPECT_EQ(handle.quaternion, (std::array<float, 4>{0.5f, -0.5f, 0.25f, 1.0f}));
    EXPECT_EQ(handle.status_bytes, (std::array<int, 3>{1, 0x1F, 0}));
    EXPECT_TRUE(handle.user_data.empty());
    EXPECT_EQ(handle.status_record.user_data_length, 0);
    for (uint8_t byte : handle.status_record.user_data) ASSERT_EQ(byte, 0);
}

TEST_F(HandleOnPty, StatusWithTheLargestUserData) {
    Bytes data(255);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(254 - i);
    device.Send(StatusMessage(data));
    EXPECT_EQ(handle.Receive(), 276);
    EXPECT_EQ(handle.user_data, data);
    EXPECT_EQ(Bytes(handle.status_record.user_data, handle.status_record.user_data + 255), data);
    EXPECT_EQ(handle.status_record.quaternion[3], 1.0f);
    EXPECT_EQ(handle.status_record.error_flag, 1);
}

TEST_F(HandleOnPty, ErrorResponse) {
    device.Send({0xDF, 0x07, 0x00, 0x2A});
    EXPECT_EQ(handle.Receive(), 3);
    EXPECT_EQ(handle.calls, (std::vector<std::string>{"error", "error record"}));
    EXPECT_EQ(handle.error_arguments, (std::array<int, 2>{7, 42}));
    EXPECT_EQ(handle.error_record.device_id, 7);
    EXPECT_EQ(handle.error_record.error_code, 42);
}

TEST_F(HandleOnPty, ForeignHeaderCallsNothingAndLeavesItsPayload) {
    device.Send({0x0B, 0xDF, 0x07, 0x00, 0x2A});
    EXPECT_EQ(handle.Receive(), -1);
    EXPECT_TRUE(handle.calls.empty());
    EXPECT_EQ(handle.Receive(), 3);  // the bytes after the foreign code are read as the next message
}

TEST_F(HandleOnPty, PayloadThatNeverCompletesStillDispatchesAndCountsZero) {
    handle.read_timeout = 0.1f;
    ::testing::internal::CaptureStderr();
    device.Send({0xD0, 0x05});
    EXPECT_EQ(handle.Receive(), 0);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("timeout waiting for bytes"), std::string::npos);
    EXPECT_EQ(handle.calls, (std::vector<std::string>{"info", "info record"}));
}

TEST_F(HandleOnPty, SilenceEndsAfterTheDefaultTimeout) {
    ::testing::internal::CaptureStderr();
    const auto start = Clock::now();
    EXPECT_EQ(handle.Receive(), -1);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("timeout waiting for header code"), std::string::npos);
    EXPECT_GT(elapsed, 4.9);
    EXPECT_LT(elapsed, 8.0);
    EXPECT_TRUE(handle.calls.empty());
}

// Overrides only the record forms, as a library-side subclass may.
struct RecordOnlyHandle : Handle {
    using Handle::Handle;
    std::vector<std::string> seen;
    void OnReceiveHandleInfoRecord(const HandleInfoRecord&) override { seen.push_back("info"); }
    void OnReceiveHandleStatusRecord(const HandleStatusRecord& r) override {
        seen.push_back("status " + std::to_string(r.user_data_length));
    }
    void OnReceiveHandleErrorRecord(const HandleErrorRecord&) override { seen.push_back("error"); }
};

TEST(HandleSubclass, RecordFormAloneSeesEveryMessage) {
    FakeDevice device;
    SerialStream stream(device.Path().c_str());
    RecordOnlyHandle handle(stream);
    device.Send(Concat({{0xD0, 1, 2, 3, 4, 5, 6}, StatusMessage({9, 9}), {0xDF, 1, 0, 2}}));
    EXPECT_EQ(handle.Receive(), 6);
    EXPECT_EQ(handle.Receive(), 23);
    EXPECT_EQ(handle.Receive(), 3);
    EXPECT_EQ(handle.seen, (std::vector<std::string>{"info", "status 2", "error"}));
}

struct ThrowingHandle : Handle {
    using Handle::Handle;
    bool record_called = false;
    void OnReceiveHandleErrorResponse(uint16_t, uint8_t) override { throw std::invalid_argument("refused"); }
    void OnReceiveHandleErrorRecord(const HandleErrorRecord&) override { record_called = true; }
};

TEST(HandleSubclass, ExceptionFromTheArgumentFormLeavesReceive) {
    FakeDevice device;
    SerialStream stream(device.Path().c_str());
    ThrowingHandle handle(stream);
    device.Send({0xDF, 7, 0, 42});
    EXPECT_THROW(handle.Receive(), std::invalid_argument);
    EXPECT_FALSE(handle.record_called);
}

struct Witness {
    bool* destroyed;
    ~Witness() { *destroyed = true; }
};

struct HandleWithMember : Handle {
    HandleWithMember(SerialStream& s, bool* flag) : Handle(s), witness{flag} {}
    Witness witness;
};

TEST(HandleSubclass, DestroyedWholeThroughAHandlePointer) {
    FakeDevice device;
    SerialStream stream(device.Path().c_str());
    bool destroyed = false;
    std::unique_ptr<Handle> handle = std::make_unique<HandleWithMember>(stream, &destroyed);
    handle.reset();
    EXPECT_TRUE(destroyed);
}

}  // namespace
