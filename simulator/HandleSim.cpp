#include "HandleSim.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tavix_devsim {

namespace {
constexpr uint8_t kWakeUp = 0x0A, kInformation = 0xD0, kStatus = 0xDA, kHandleState = 0xDB;
constexpr uint8_t kEnd = 0xC0, kEscape = 0xDB, kEscapedEnd = 0xDC, kEscapedEscape = 0xDD;
constexpr size_t kStatusFixed = 21;
constexpr auto kQuietAfterRequest = std::chrono::milliseconds(500);

int16_t Fixed(double component) {
    // Symmetric range, so that the negated components on the wire cannot overflow.
    return static_cast<int16_t>(std::clamp(std::lround(component * 32768.0), -32767L, 32767L));
}

void PutU16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

uint8_t* PutEscaped(uint8_t* out, uint8_t byte) {
    if (byte == kEnd || byte == kEscape) {
        *out++ = kEscape;
        *out++ = byte == kEnd ? kEscapedEnd : kEscapedEscape;
    } else {
        *out++ = byte;
    }
    return out;
}
}  // namespace

HandleReadings ReadingsAt(double t) {
    constexpr double kAxis[3] = {1.0 / 3.0, 2.0 / 3.0, 2.0 / 3.0};
    const double half_angle = 0.25 * t;  // half a radian per second
    const double s = std::sin(half_angle);
    HandleReadings r{};
    r.quaternion = {Fixed(kAxis[0] * s), Fixed(kAxis[1] * s), Fixed(kAxis[2] * s), Fixed(std::cos(half_angle))};
    r.buttons = static_cast<uint8_t>((std::fmod(t, 1.0) < 0.3 ? 1 : 0) | (std::fmod(t, 1.7) < 0.5 ? 2 : 0) |
                                     (std::fmod(t, 2.9) < 0.4 ? 4 : 0));
    r.hall_level = static_cast<uint8_t>(std::lround(31.0 * (1.0 - std::fabs(std::fmod(t, 2.0) - 1.0))));
    const double volts = std::max(3.3, 4.15 - 0.001 * t);
    r.battery = static_cast<uint8_t>(std::lround((volts - 3.0) / 0.005));
    return r;
}

size_t EncodeFramedStatus(const uint8_t* payload, size_t n, uint8_t* out) {
    uint8_t* at = out;
    *at++ = kStatus;
    unsigned sum = kStatus;
    for (size_t i = 0; i < n; ++i) {
        sum += payload[i];
        at = PutEscaped(at, payload[i]);
    }
    at = PutEscaped(at, static_cast<uint8_t>(sum));
    *at++ = kEnd;
    return static_cast<size_t>(at - out);
}

HandleSim::HandleSim(uint16_t device_id, double status_hz, Clock::time_point start)
    : device_id(device_id),
      period(PeriodOf(status_hz)),
      started(start),
      next_frame(start),
      quiet_until(start) {}

double HandleSim::Seconds(Clock::time_point now) const { return std::chrono::duration<double>(now - started).count(); }

size_t HandleSim::RequestLength(const uint8_t* bytes, size_t n) const {
    switch (bytes[0]) {
        case kWakeUp: case kStatus: return 1;
        case kHandleState: return n < 4 ? 4 : 4 + size_t{bytes[3]};
        default: return 0;
    }
}

void HandleSim::OnRequest(const uint8_t* request, size_t, Clock::time_point now, Line& line) {
    quiet_until = now + kQuietAfterRequest;
    switch (request[0]) {
        case kWakeUp: return AnswerInformation(line, now);
        case kStatus: return AnswerStatus(line, now);
        case kHandleState:
            user_data_length = request[3];
            std::memcpy(user_data.data(), request + 4, user_data_length);
            return;
        default: return;
    }
}

void HandleSim::OnHostArrived(Clock::time_point now) { quiet_until = std::max(quiet_until, now + kQuietAfterRequest); }

void HandleSim::AnswerInformation(Line& line, Clock::time_point now) {
    const uint8_t answer[7] = {kInformation,
                               0,  // tool_data_remaining
                               static_cast<uint8_t>(device_id),
                               static_cast<uint8_t>(device_id >> 8),
                               kHandleModelNumber,
                               kHandleHardwareVersion,
                               kHandleFirmwareVersion};
    line.SendAnswer(answer, sizeof answer, now);
}

void HandleSim::AnswerStatus(Line& line, Clock::time_point now) {
    const HandleReadings r = ReadingsAt(Seconds(now));
    uint8_t answer[1 + kStatusFixed + 255] = {kStatus};
    PutU16(answer + 1, device_id);
    answer[3] = 0;  // error_flag
    answer[4] = r.hall_level;
    for (size_t i = 0; i < 4; ++i) {
        const float component = static_cast<float>(r.quaternion[i]) / 32768.0f;
        std::memcpy(answer + 5 + 4 * i, &component, sizeof component);
    }
    answer[21] = user_data_length;
    std::memcpy(answer + 22, user_data.data(), user_data_length);
    line.SendAnswer(answer, 1 + kStatusFixed + user_data_length, now);
}

Clock::time_point HandleSim::OnTick(Clock::time_point now, Line& line) {
    if (period == Clock::duration::zero()) return Clock::time_point::max();
    if (now < next_frame) return next_frame;
    // Skipped while no host listens, the host has not read what came before, or it is
    // talking to the handle.
    if (now >= quiet_until && line.HostHasPort() && line.Unread() == 0) StreamStatus(line, now);
    next_frame = NextBeat(next_frame, period, now);
    return next_frame;
}

void HandleSim::StreamStatus(Line& line, Clock::time_point now) {
    const HandleReadings r = ReadingsAt(Seconds(now));
    uint8_t payload[kFramedPayloadSize] = {};
    PutU16(payload, frames++);
    payload[2] = 0;  // error_flag
    payload[3] = static_cast<uint8_t>(r.hall_level | (r.buttons << 5));
    payload[4] = static_cast<uint8_t>(device_id);
    // The host negates components 1 and 2 when decoding.
    const int16_t wire[4] = {r.quaternion[0], static_cast<int16_t>(-r.quaternion[1]),
                             static_cast<int16_t>(-r.quaternion[2]), r.quaternion[3]};
    for (size_t i = 0; i < 4; ++i) PutU16(payload + 8 + 2 * i, static_cast<uint16_t>(wire[i]));
    payload[16] = r.battery;
    uint8_t frame[kMaxFramedSize];
    line.SendUnsolicited(frame, EncodeFramedStatus(payload, sizeof payload, frame), now);
}

}  // namespace tavix_devsim
