// Reply and notification reading of Devices::Device over the memory-backed stream.
//
// Input: one byte choosing the read timeout (low three bits index kTimeouts), then
// operations until the input ends, each an opcode byte (taken modulo 5) and its arguments:
//   0 Arrive           u16 count, then `count` bytes that arrive on the line
//   1 ReadHeaderCode
//   2 ReadBytes        u16 n, masked to 0..2047: beyond 1024 must be refused
//   3 ReadWithTimeout  u16 n, masked to 0..2047, into a local of that size
//   4 FlushInput
// With 1e-6 s a wait for bytes that are not there ends at once; without a deadline (0, NaN,
// negative, or too long to ever expire) it ends at once too, since the memory stream is never
// an open port. Besides memory safety, every result, every byte taken and the whole of
// read_buffer are checked against a model of the line.
#include <array>
#include <cmath>
#include <cstring>

#include "FuzzSupport.h"
#include "LineModel.h"
#include "TavixHardwareAPI/Device.h"

namespace {

using Tavix::HardwareAPI::Devices::Device;
using tavix_fuzz::FuzzInput;
using tavix_fuzz::Line;

struct Timeout {
    float seconds;
    bool expires;
};
constexpr std::array<Timeout, 8> kTimeouts{{
    {1e-6f, true}, {1e-6f, true}, {1e-6f, true}, {0.0f, false},
    {NAN, false}, {-1.0f, false}, {1e10f, false}, {INFINITY, false},
}};
constexpr size_t kSizeMask = 0x7FF;
constexpr int kFlushRounds = 32;

bool SameBytes(const char* read, const uint8_t* sent, size_t n) { return n == 0 || std::memcmp(read, sent, n) == 0; }

struct Session : tavix_fuzz::ModelledStream {
    Device device;
    Timeout timeout;

    explicit Session(Timeout timeout) : device(stream, timeout.seconds), timeout(timeout) {}

    void ReadHeaderCode() {
        const uint8_t expected = line.TakeHeaderCode();
        FUZZ_CHECK(device.ReadHeaderCode() == expected);
    }

    void ReadBytes(size_t n) {
        FUZZ_CHECK(device.ReadBytes(n) == line.ReadBytes(n));
    }

    void ReadWithTimeout(size_t n) {
        std::array<char, kSizeMask + 1> destination;
        // All `n` at once; with a deadline, whatever is waiting when it passes; else nothing.
        const size_t expected = line.Waiting() >= n ? n : timeout.expires ? line.Waiting() : 0;
        FUZZ_CHECK(device.ReadWithTimeout(destination.data(), n, timeout.seconds) == expected);
        FUZZ_CHECK(SameBytes(destination.data(), line.Next(), expected));
        line.Take(expected);
    }

    void FlushInput() {
        device.FlushInput();
        line.Flush(kFlushRounds);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    Session session(kTimeouts[input.Byte() & 7]);
    while (!input.Empty()) {
        switch (input.Byte() % 5) {
            case 0: session.Arrive(input.Bytes(input.Word())); break;
            case 1: session.ReadHeaderCode(); break;
            case 2: session.ReadBytes(input.Word() & kSizeMask); break;
            case 3: session.ReadWithTimeout(input.Word() & kSizeMask); break;
            default: session.FlushInput(); break;
        }
        session.Check(session.device.read_buffer.get());
    }
    return 0;
}
