// GetHoldraStatus: the wait for frame bytes, the header search with its limit of 101 codes,
// collecting, unescaping, the checksum and decoding, over the memory-backed stream.
//
// Input: one byte choosing the read timeout (bit 0: 1e-6 s, else none; either way a header
// wait for bytes that are not there ends at once on the memory stream), then operations until
// the input ends, each an opcode byte (taken modulo 2) and its arguments:
//   0 Arrive          u16 count, then `count` bytes that arrive on the line
//   1 GetHoldraStatus u16 count, then `count` bytes that arrive during the wait for frame
//                     bytes (only when it waits; otherwise they arrive after the call)
// The wall clock is scripted: it moves on by a second at every reading, so a wait ends after
// three readings instead of one to two seconds. Besides memory safety, the result, the bytes
// taken and read_buffer are checked against a plain model that follows the documented steps:
// it keeps the whole frame, unescapes it in a second pass and decodes from the unescaped body.
#include <cstring>
#include <ctime>
#include <vector>

#include "FuzzSupport.h"
#include "LineModel.h"
#include "TavixHardwareAPI/HoldraStatus.h"

namespace {

using namespace Tavix::HardwareAPI::Devices;
using tavix_fuzz::FuzzInput;
using tavix_fuzz::Line;

constexpr size_t kFrameMinimum = 19;

// The clock and the bytes it delivers on its second reading, the first poll of the wait.
struct ScriptedClock {
    std::time_t now = 0;
    int readings = 0;
    tavix_test::MemoryStream* stream = nullptr;
    FuzzInput::Chunk during_wait{nullptr, 0};
};
ScriptedClock wall;

std::time_t ScriptedTime(std::time_t*) {
    if (++wall.readings == 2 && wall.during_wait.size > 0) wall.stream->Feed(wall.during_wait.data, wall.during_wait.size);
    return wall.now++;
}

HoldraStatus Failure(uint8_t code) {
    HoldraStatus status;
    status.error_flag = code;
    return status;
}

float Component(const uint8_t* p) {
    const auto raw = static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
    return static_cast<float>(raw) / 32768.0f;
}

HoldraStatus Decoded(const std::vector<uint8_t>& body) {
    HoldraStatus status;
    status.error_flag = body[2];
    status.hall_effect_sensor_level = body[3] & 0x1F;
    status.buttons = static_cast<uint8_t>(body[3] >> 5);
    status.device_id = body[4];
    status.quaternion[0] = Component(&body[8]);
    status.quaternion[1] = -Component(&body[10]);
    status.quaternion[2] = -Component(&body[12]);
    status.quaternion[3] = Component(&body[14]);
    status.battery_level = static_cast<float>(3.0 + 0.005 * body[16]);
    return status;
}

// Collected bytes up to and including an end marker, or up to where the waiting bytes run out.
std::vector<uint8_t> CollectFrame(Line& line) {
    std::vector<uint8_t> frame;
    while (line.Waiting() > 0) {
        frame.push_back(line.Next()[0]);
        line.TakeIntoBuffer(1);
        if (frame.back() == 0xC0) break;
    }
    return frame;
}

std::vector<uint8_t> Unescape(const std::vector<uint8_t>& frame) {
    std::vector<uint8_t> body;
    for (size_t i = 0; i < frame.size(); ++i) {
        if (frame[i] == 0xC0) continue;
        if (frame[i] == 0xDB && i + 1 < frame.size() && (frame[i + 1] == 0xDC || frame[i + 1] == 0xDD)) {
            body.push_back(frame[++i] == 0xDC ? 0xC0 : 0xDB);
            continue;
        }
        if (frame[i] != 0xDB) body.push_back(frame[i]);
    }
    return body;
}

// A body is decoded when its checksum is sound and it reaches the battery byte and the checksum.
bool Sound(const std::vector<uint8_t>& body) {
    if (body.size() < 18) return false;
    unsigned sum = 0xDA;
    for (size_t i = 0; i + 1 < body.size(); ++i) sum += body[i];
    return body.back() == static_cast<uint8_t>(sum);
}

// Steps 3 to 9 of the snapshot on the model line.
HoldraStatus SearchFrame(Line& line) {
    for (;;) {
        if (line.Waiting() < kFrameMinimum) return Failure(kHoldraNoFrame);
        bool found = false;
        for (int read = 0; read <= 100 && !found; ++read) {
            const uint8_t code = line.TakeHeaderCode();
            if (code == 0) return Failure(kHoldraHeaderFailed);
            found = code == 0xDA;
        }
        if (!found) return Failure(kHoldraNoFrame);
        const std::vector<uint8_t> frame = CollectFrame(line);
        if (frame.empty() || frame.back() == 0xDB) continue;
        const std::vector<uint8_t> body = Unescape(frame);
        if (Sound(body)) return Decoded(body);
    }
}

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool SameStatus(const HoldraStatus& a, const HoldraStatus& b) {
    for (int i = 0; i < 4; ++i)
        if (!SameBits(a.quaternion[i], b.quaternion[i])) return false;  // -0.0 included
    return a.device_id == b.device_id && a.error_flag == b.error_flag &&
           a.hall_effect_sensor_level == b.hall_effect_sensor_level && a.buttons == b.buttons &&
           SameBits(a.battery_level, b.battery_level);
}

struct Session : tavix_fuzz::ModelledStream {
    Device device;

    explicit Session(float timeout) : device(stream, timeout) {}

    void GetStatus(FuzzInput::Chunk during_wait) {
        const bool waits = line.Waiting() < kFrameMinimum;
        wall = ScriptedClock{wall.now, 0, &stream, waits ? during_wait : FuzzInput::Chunk{nullptr, 0}};
        if (waits) line.Arrive(during_wait);
        const bool enough = line.Waiting() >= kFrameMinimum;
        const HoldraStatus expected = enough ? SearchFrame(line) : Failure(kHoldraNoData);

        FUZZ_CHECK(SameStatus(GetHoldraStatus(device, &ScriptedTime), expected));
        // The start, then one reading per poll: a wait that gave up read the clock three times.
        FUZZ_CHECK(wall.readings == (!waits ? 1 : enough ? 2 : 3));
        if (!waits) Arrive(during_wait);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    Session session((input.Byte() & 1) ? 1e-6f : 0.0f);
    while (!input.Empty()) {
        if (input.Byte() % 2 == 0) {
            session.Arrive(input.Bytes(input.Word()));
        } else {
            session.GetStatus(input.Bytes(input.Word()));
        }
        session.Check(session.device.read_buffer.get());
    }
    return 0;
}
