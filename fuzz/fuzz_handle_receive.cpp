// Handle::Receive: reading one handle message and dispatching it to the callbacks, over the
// memory-backed stream.
//
// Input: one byte choosing the read timeout (bit 0: 1e-6 s, else none; either way a wait for
// bytes that are not there ends at once on the memory stream), then operations until the
// input ends, each an opcode byte (taken modulo 3) and its arguments:
//   0 Arrive    u16 count, then `count` bytes that arrive on the line
//   1 Receive
//   2 Receive   whose argument-form callback throws
// Every callback reads all that its pointers promise (four floats, user_data_length bytes),
// so a short buffer is a sanitizer finding. Besides memory safety, the count returned, the
// bytes taken, each callback's arguments (including the stale fields after a payload read
// that timed out) and the order of the callbacks are checked against a model of the line.
#include <cstring>
#include <stdexcept>

#include "FuzzSupport.h"
#include "LineModel.h"
#include "TavixHardwareAPI/Handle.h"

namespace {

using namespace Tavix::HardwareAPI::Devices;
using tavix_fuzz::FuzzInput;
using tavix_fuzz::Line;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

struct CallbackThrew : std::exception {};

// What the callbacks must see for one message, taken from the model's read_buffer.
struct Expected {
    enum Kind { None, Info, Status, Error } kind = None;
    uint8_t fixed[21] = {};     // the fields, as read_buffer held them after the first read
    uint8_t user_data[255] = {};
    uint8_t user_data_length = 0;
};

class CheckingHandle : public Handle {
public:
    using Handle::Handle;

    Expected expected;
    bool throw_in_argument_form = false;
    int argument_calls = 0;
    int record_calls = 0;

    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
                             uint8_t hardware_version, uint8_t firmware_version) override {
        ArgumentForm(Expected::Info);
        const uint8_t* p = expected.fixed;
        FUZZ_CHECK(tool_data_remaining == p[0] && device_id == U16(p + 1) && device_model_number == p[3] &&
                   hardware_version == p[4] && firmware_version == p[5]);
        MaybeThrow();
    }
    void OnReceiveHandleInfoRecord(const HandleInfoRecord& r) override {
        RecordForm(Expected::Info);
        const uint8_t* p = expected.fixed;
        FUZZ_CHECK(r.tool_data_remaining == p[0] && r.device_id == U16(p + 1) && r.device_model_number == p[3] &&
                   r.hardware_version == p[4] && r.firmware_version == p[5]);
    }

    void OnReceiveHandleStatusMessage(uint16_t device_id, float* quaternion, uint8_t error_flag,
                                      uint8_t hall_effect_sensor_level, uint8_t user_data_length,
                                      uint8_t* user_data) override {
        ArgumentForm(Expected::Status);
        const uint8_t* p = expected.fixed;
        FUZZ_CHECK(device_id == U16(p) && error_flag == p[2] && hall_effect_sensor_level == p[3]);
        FUZZ_CHECK(user_data_length == expected.user_data_length);
        FUZZ_CHECK(std::memcmp(quaternion, p + 4, 4 * sizeof(float)) == 0);
        FUZZ_CHECK(std::memcmp(user_data, expected.user_data, user_data_length) == 0);
        status_quaternion = quaternion;
        status_user_data = user_data;
        MaybeThrow();
    }
    void OnReceiveHandleStatusRecord(const HandleStatusRecord& r) override {
        RecordForm(Expected::Status);
        // The argument form was handed pointers into this very record.
        FUZZ_CHECK(status_quaternion == r.quaternion && status_user_data == r.user_data);
        const uint8_t* p = expected.fixed;
        FUZZ_CHECK(r.device_id == U16(p) && r.error_flag == p[2] && r.hall_effect_sensor_level == p[3]);
        FUZZ_CHECK(std::memcmp(r.quaternion, p + 4, sizeof r.quaternion) == 0);
        FUZZ_CHECK(r.user_data_length == expected.user_data_length);
        FUZZ_CHECK(std::memcmp(r.user_data, expected.user_data, sizeof r.user_data) == 0);  // zeros past the length
    }

    void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
        ArgumentForm(Expected::Error);
        FUZZ_CHECK(device_id == U16(expected.fixed) && error_code == expected.fixed[2]);
        MaybeThrow();
    }
    void OnReceiveHandleErrorRecord(const HandleErrorRecord& r) override {
        RecordForm(Expected::Error);
        FUZZ_CHECK(r.device_id == U16(expected.fixed) && r.error_code == expected.fixed[2]);
    }

private:
    void ArgumentForm(Expected::Kind kind) {
        FUZZ_CHECK(expected.kind == kind && argument_calls == 0 && record_calls == 0);
        ++argument_calls;
    }
    void RecordForm(Expected::Kind kind) {
        FUZZ_CHECK(expected.kind == kind && argument_calls == 1 && record_calls == 0);
        ++record_calls;
    }
    void MaybeThrow() const {
        if (throw_in_argument_form) throw CallbackThrew();
    }

    const float* status_quaternion = nullptr;
    const uint8_t* status_user_data = nullptr;
};

struct Session : tavix_fuzz::ModelledStream {
    CheckingHandle handle{stream};

    explicit Session(float timeout) { handle.read_timeout = timeout; }

    void Receive(bool throwing) {
        const int expected_count = ModelReceive();
        handle.argument_calls = handle.record_calls = 0;
        handle.throw_in_argument_form = throwing;
        const bool dispatched = handle.expected.kind != Expected::None;
        try {
            FUZZ_CHECK(handle.Receive() == expected_count);
            FUZZ_CHECK(!(throwing && dispatched));
        } catch (const CallbackThrew&) {
            FUZZ_CHECK(throwing && dispatched);
        }
        FUZZ_CHECK(handle.argument_calls == (dispatched ? 1 : 0));
        FUZZ_CHECK(handle.record_calls == (dispatched && !throwing ? 1 : 0));
    }

private:
    // Takes from the model what Receive takes, fills in what the callbacks must see and
    // returns the count Receive must return.
    int ModelReceive() {
        Expected& e = handle.expected;
        e = Expected{};
        switch (line.TakeHeaderCode()) {
            case 0xD0: return FixedPart(Expected::Info, 6);
            case 0xDF: return FixedPart(Expected::Error, 3);
            case 0xDA: {
                const int fixed_read = FixedPart(Expected::Status, 21);
                e.user_data_length = e.fixed[20];
                const int data_read = e.user_data_length > 0 ? line.ReadBytes(e.user_data_length) : 0;
                // Read or not, the user data is whatever read_buffer now starts with.
                std::memcpy(e.user_data, line.Buffer(), e.user_data_length);
                return fixed_read + data_read;
            }
            default: return -1;
        }
    }

    int FixedPart(Expected::Kind kind, size_t length) {
        handle.expected.kind = kind;
        const int read = line.ReadBytes(length);
        std::memcpy(handle.expected.fixed, line.Buffer(), length);
        return read;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    Session session((input.Byte() & 1) ? 1e-6f : 0.0f);
    while (!input.Empty()) {
        switch (input.Byte() % 3) {
            case 0: session.Arrive(input.Bytes(input.Word())); break;
            case 1: session.Receive(false); break;
            default: session.Receive(true); break;
        }
        session.Check(session.handle.read_buffer.get());
    }
    return 0;
}
