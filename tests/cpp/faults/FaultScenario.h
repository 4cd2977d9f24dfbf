// Fault scenarios: a device on the pseudo-terminal misbehaves in one way while the library
// makes one call, and the call must still keep its promises: return within its documented
// bound, give its documented fallback, and print exactly the documented error lines. After
// every scenario a fresh device on a fresh stream must work normally.
//
// A scenario is one file here with one TEST(Faults, <Name>) calling RunFaultScenario, plus
// its entry in TAVIX_FAULT_SCENARIOS (tests/CMakeLists.txt). `make faults` prints one table
// row per scenario: bound, measured time, fallback.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "FakeDevice.h"
#include "TavixHardwareAPI/Device.h"
#include "TavixHardwareAPI/Handle.h"
#include "TavixHardwareAPI/SerialStream.h"

namespace tavix_test {

using Tavix::HardwareAPI::Devices::Device;
using Tavix::HardwareAPI::Devices::Handle;
using Tavix::HardwareAPI::IO::SerialStream;
using namespace std::chrono_literals;

// The read timeout the scenarios give their devices, in seconds.
constexpr float kFaultTimeout = 0.2f;

struct FaultScenario {
    // Sets up the misbehaviour before the call starts (timed parts through the fake's script).
    std::function<void(FakeDevice&)> misbehave;
    // The call under test, on a stream opened on the misbehaving device; its result as text.
    std::function<std::string(SerialStream&)> call;
    // What the call is documented to do under the fault.
    std::chrono::milliseconds bound;
    std::string fallback;
    // The error lines, each without its errno part (": [<n>] <text>"), which is incidental.
    std::string error_lines;
};

void RunFaultScenario(const FaultScenario& scenario);

// Reads one reply the way every reply reader does: the header code, then either the payload
// of `length` bytes or, after another code, one 1024-byte resynchronisation attempt.
// "reply <code> <length> bytes" or "missing".
std::string ReadReply(Device& device, uint8_t code, size_t length);

// The call of the framing scenarios: a device with kFaultTimeout on `stream` reads one reply
// 0x2B of 24 bytes.
std::string ReadOneReply(SerialStream& stream);

// A handle with kFaultTimeout that notes which argument-form callback a message reached.
class RecordingHandle : public Handle {
public:
    explicit RecordingHandle(SerialStream& stream);

    // Receives one message: "Receive <count>, <kind> callback" ("status callback with <n>
    // user-data bytes" for a status message), or "Receive -1, no callback".
    std::string ReceiveOne();

    void OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) override;
    void OnReceiveHandleStatusMessage(uint16_t, float*, uint8_t, uint8_t, uint8_t user_data_length,
                                      uint8_t*) override;
    void OnReceiveHandleErrorResponse(uint16_t, uint8_t) override;

private:
    std::string callback;
};

// The call of the status snapshot scenarios: a device with kFaultTimeout on `stream` takes
// one snapshot with the system clock. "device <id>" when a frame was decoded, else
// "error_flag <failure code>".
std::string TakeHoldraStatus(SerialStream& stream);

}  // namespace tavix_test
