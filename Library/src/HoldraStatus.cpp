#include "TavixHardwareAPI/HoldraStatus.h"

#include <algorithm>
#include <optional>

#include "TavixHardwareAPI/Cancellation.h"

namespace Tavix::HardwareAPI::Devices {

namespace {
constexpr uint8_t kStatusCode = 0xDA;
constexpr uint8_t kEnd = 0xC0;
constexpr uint8_t kEscape = 0xDB;
constexpr uint8_t kEscapedEnd = 0xDC;
constexpr uint8_t kEscapedEscape = 0xDD;

constexpr int kFrameMinimum = 19;         // bytes waiting before a frame is worth reading
constexpr size_t kBodyMinimum = 18;       // payload up to the battery byte, and the checksum
constexpr int kForeignHeaderLimit = 100;  // header codes skipped after the first before giving up

int Waiting(Device& device) { return std::max(device.stream->Available(), 0); }

HoldraStatus Failure(uint8_t code) {
    HoldraStatus status;
    status.error_flag = code;
    return status;
}

// The unescaped body, kept only as far as checking and decoding need it: its first bytes,
// its length, the running sum and the last byte. Frames of any length fit without allocating.
struct Body {
    uint8_t head[kBodyMinimum] = {};
    size_t length = 0;
    unsigned sum = 0;
    uint8_t last = 0;

    void Append(uint8_t byte) {
        if (length < kBodyMinimum) head[length] = byte;
        ++length;
        sum += byte;
        last = byte;
    }
    // The checksum covers the header value and every byte before the last. A shorter body
    // passing it still lacks fields, so it is refused as well.
    bool Sound() const {
        return length >= kBodyMinimum && last == static_cast<uint8_t>(kStatusCode + sum - last);
    }
};

// False when the wait gave up, or was cancelled.
bool WaitForFrameBytes(Device& device, WallClock clock) {
    const std::time_t start = clock(nullptr);
    CancelPacer pacer(CancelPacer::Clock::now());
    while (Waiting(device) < kFrameMinimum) {
        if (std::difftime(clock(nullptr), start) > 1.0) return false;
        if (pacer.Cancelled(CancelPacer::Clock::now())) return false;
    }
    return true;
}

// Reads header codes until a status header; nothing when found, else the failure code.
std::optional<uint8_t> FindStatusHeader(Device& device) {
    for (int read = 0; read <= kForeignHeaderLimit; ++read) {
        const uint8_t code = device.ReadHeaderCode();
        if (code == 0) return kHoldraHeaderFailed;
        if (code == kStatusCode) return std::nullopt;
    }
    return kHoldraNoFrame;
}

// Reads the frame one byte at a time from what is already waiting, stopping after the end
// marker so that a following frame stays in the stream; a frame still arriving is cut where
// the waiting bytes run out. False when the frame ends in a dangling escape byte.
bool CollectBody(Device& device, Body& body) {
    bool escaped = false;
    while (Waiting(device) > 0) {
        if (device.ReadBytes(1) != 1) break;  // a failed stream would otherwise hand back stale bytes forever
        const auto raw = static_cast<uint8_t>(device.read_buffer[0]);
        if (escaped) {
            escaped = false;
            if (raw == kEscapedEnd) {
                body.Append(kEnd);
                continue;
            }
            if (raw == kEscapedEscape) {
                body.Append(kEscape);
                continue;
            }
            // A stray escape byte is dropped; the byte after it stands for itself.
        }
        if (raw == kEnd) return true;
        if (raw == kEscape) {
            escaped = true;
        } else {
            body.Append(raw);
        }
    }
    return !escaped;
}

float Component(const uint8_t* p) {
    int raw = p[0] | p[1] << 8;
    if (raw > 32767) raw -= 65536;
    return static_cast<float>(raw) / 32768.0f;
}

HoldraStatus Decode(const uint8_t* payload) {
    HoldraStatus status;
    status.error_flag = payload[2];
    status.hall_effect_sensor_level = payload[3] & 0x1F;
    status.buttons = static_cast<uint8_t>(payload[3] >> 5);
    status.device_id = payload[4];
    // The handle sends components 1 and 2 with the opposite sign to the one the host uses.
    status.quaternion[0] = Component(payload + 8);
    status.quaternion[1] = -Component(payload + 10);
    status.quaternion[2] = -Component(payload + 12);
    status.quaternion[3] = Component(payload + 14);
    status.battery_level = static_cast<float>(3.0 + 0.005 * payload[16]);
    return status;
}
}  // namespace

HoldraStatus GetHoldraStatus(Device& device, WallClock clock) {
    if (clock == nullptr) clock = &std::time;
    // Frames come unasked: an interrupted search leaves nothing owed but the rest of a notification.
    if (device.SettleOwed() == Device::Settle::Cancelled || !WaitForFrameBytes(device, clock)) return Failure(kHoldraNoData);
    for (;;) {
        if (Waiting(device) < kFrameMinimum) return Failure(kHoldraNoFrame);
        if (const auto failure = FindStatusHeader(device)) return Failure(*failure);
        Body body;
        if (CollectBody(device, body) && body.Sound()) return Decode(body.head);
    }
}

int StatusDeviceId(Device& device) {
    Body body;
    if (CollectBody(device, body) && body.Sound()) return Decode(body.head).device_id;
    return body.length >= 2 ? body.head[0] | body.head[1] << 8 : -1;
}

}  // namespace Tavix::HardwareAPI::Devices
