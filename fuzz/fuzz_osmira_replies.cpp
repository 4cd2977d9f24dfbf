// The arm's reply readers over the memory-backed stream: ReceiveState, ReceiveJointState,
// ReceiveDeviceInfo, ReceiveCurrent, and the one-shot queries with their requests.
//
// Input: one byte choosing the read timeout (bit 0: 1e-6 s, else none; either way a wait for
// bytes that are not there ends at once on the memory stream), then operations until the
// input ends, each an opcode byte (taken modulo 11) and its arguments:
//   0 Arrive   u16 count, then `count` bytes that arrive on the line
//   1 ReceiveState       2 ReceiveJointState   3 ReceiveDeviceInfo   4 ReceiveCurrent
//   5 GetDeviceId        6 GetFirmwareVersion  7 GetMotorCurrents    8 GetDeviceOrientation
//   9 GetPowerStatus    10 GetTemperature
// Besides memory safety, each result (outputs untouched or zeros when the reply is wrong or
// missing), each request written and every byte taken are checked against a model of the
// line: a reply is its header code, then its payload; any other code costs one 1024-byte
// discard attempt.
#include <array>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "LineModel.h"
#include "TavixHardwareAPI/Osmira.h"

namespace {

using namespace Tavix::HardwareAPI::Devices;
using Tavix::HardwareAPI::UUID;
using tavix_fuzz::FuzzInput;
using tavix_fuzz::Line;

template <typename T>
bool SameBytes(const T& a, const void* b) {
    return std::memcmp(&a, b, sizeof a) == 0;
}

template <typename T>
bool AllZero(const T& value) {
    const T zero{};
    return SameBytes(value, &zero);
}

struct Session : tavix_fuzz::ModelledStream {
    Osmira arm;

    explicit Session(float timeout) : arm(stream, timeout) {}

    // What ReadReply takes from the line; true when the whole payload is in the buffer.
    bool ModelReply(uint8_t code, size_t length) {
        if (line.TakeHeaderCode() != code) {
            line.ReadBytes(Line::kBufferSize);
            return false;
        }
        return line.ReadBytes(length) == static_cast<int>(length);
    }

    // The request bytes the last call wrote, checked and forgotten.
    void ExpectWritten(std::initializer_list<uint8_t> request) {
        FUZZ_CHECK(stream.written == std::vector<uint8_t>(request));
        stream.written.clear();
    }

    template <size_t N>
    void ExpectOutputs(bool read, bool expected, const std::array<Vector3, N>& outputs,
                       const std::array<Vector3, N>& before) {
        FUZZ_CHECK(read == expected);
        for (size_t i = 0; i < N; ++i)
            FUZZ_CHECK(SameBytes(outputs[i], expected ? line.Buffer() + 12 * i : static_cast<const void*>(&before[i])));
    }

    void ReceiveState(bool joint) {
        const std::array<Vector3, 2> before{{{1.5f, -2.0f, 3.0f}, {4.0f, 5.5f, -6.0f}}};
        std::array<Vector3, 2> out = before;
        const bool read = joint ? arm.ReceiveJointState(out[0], out[1]) : arm.ReceiveState(out[0], out[1]);
        ExpectOutputs(read, ModelReply(joint ? 0x1B : 0x2B, 24), out, before);
    }

    void ReceiveCurrent() {
        const std::array<Vector3, 1> before{{{9.0f, 9.0f, 9.0f}}};
        std::array<Vector3, 1> out = before;
        const bool read = arm.ReceiveCurrent(out[0]);
        ExpectOutputs(read, ModelReply(0xAB, 12), out, before);
    }

    void ReceiveDeviceInfo() {
        const DeviceInfo info = arm.ReceiveDeviceInfo();
        if (!ModelReply(0x0B, DeviceInfo::kWireSize)) {
            FUZZ_CHECK(info.device_id == 0 && info.device_model_number == 0 && info.hardware_version == 0 &&
                       info.firmware_version == 0 && AllZero(info.device_id_ext.bytes()));
            return;
        }
        const uint8_t* p = line.Buffer();
        FUZZ_CHECK(info.device_id == (p[0] | p[1] << 8) && info.device_model_number == p[2] &&
                   info.hardware_version == p[3] && info.firmware_version == p[4]);
        FUZZ_CHECK(SameBytes(info.device_id_ext.bytes(), p + 5));
    }

    void GetIdentifier(uint8_t selector) {
        const UUID id = selector == 0xD1 ? arm.GetDeviceId() : arm.GetFirmwareVersion();
        ExpectWritten({0x0D, selector});
        // Both header codes are read, whatever the first one was.
        const uint8_t first = line.TakeHeaderCode();
        const uint8_t second = line.TakeHeaderCode();
        bool sound = false;
        if (first != 0x0D || second != selector) {
            line.ReadBytes(Line::kBufferSize);
        } else {
            sound = line.ReadBytes(17) == 17 && line.Buffer()[0] == 16;
        }
        FUZZ_CHECK(sound ? SameBytes(id.bytes(), line.Buffer() + 1) : AllZero(id.bytes()));
    }

    // A one-byte request answered by the same code and the result's bytes, or zeros.
    template <typename T>
    void Query(uint8_t code, const T& result) {
        ExpectWritten({code});
        FUZZ_CHECK(ModelReply(code, sizeof(T)) ? SameBytes(result, line.Buffer()) : AllZero(result));
    }

    void GetPowerStatus() {
        const bool powered = arm.GetPowerStatus();
        ExpectWritten({0xAC});
        FUZZ_CHECK(powered == (ModelReply(0xAC, 1) && (line.Buffer()[0] & 1) != 0));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    Session session((input.Byte() & 1) ? 1e-6f : 0.0f);
    while (!input.Empty()) {
        switch (input.Byte() % 11) {
            case 0: session.Arrive(input.Bytes(input.Word())); break;
            case 1: session.ReceiveState(false); break;
            case 2: session.ReceiveState(true); break;
            case 3: session.ReceiveDeviceInfo(); break;
            case 4: session.ReceiveCurrent(); break;
            case 5: session.GetIdentifier(0xD1); break;
            case 6: session.GetIdentifier(0xD2); break;
            case 7: session.Query(0xAB, session.arm.GetMotorCurrents()); break;
            case 8: session.Query(0x0C, session.arm.GetDeviceOrientation()); break;
            case 9: session.GetPowerStatus(); break;
            default: session.Query(0xAA, session.arm.GetTemperature()); break;
        }
        FUZZ_CHECK(session.stream.written.empty());  // every request was checked and forgotten
        session.Check(session.arm.read_buffer.get());
    }
    return 0;
}
