// The cable is pulled while a reply is on its way: the header code and part of the payload
// are in, then the line is dead (the driver's count fails). The payload wait ends at its
// deadline, and the next command fails with the write error line.
#include <gtest/gtest.h>

#include "FaultScenario.h"

namespace tavix_test {

TEST(Faults, HangUpMidReply) {
    RunFaultScenario({
        [](FakeDevice& fake) {
            fake.Send(Concat({{0x2B}, Floats({1.0f, 2.0f})}));
            fake.HangUpAfter(50ms);
        },
        [](SerialStream& stream) {
            Device device(stream, kFaultTimeout);
            const std::string reply = ReadReply(device, 0x2B, 24);
            device.SendCommand(42, nullptr, 0);
            return reply;
        },
        200ms,
        "missing",
        "[err] Library/src/Device:153> timeout waiting for bytes\n"
        "[err] Library/src/SerialStream:53> unable to write '1' bytes to stream\n",
    });
}

}  // namespace tavix_test
