// The handle's cable is pulled in the middle of a status message's fixed part. The payload
// wait ends at its deadline and Receive reports 0 bytes (the callbacks run on stale fields,
// as after any payload timeout); the next command fails with the write error line.
#include <gtest/gtest.h>

#include "FaultScenario.h"

namespace tavix_test {

TEST(Faults, HandleHangUpMidMessage) {
    RunFaultScenario({
        [](FakeDevice& fake) {
            fake.Send({0xDA, 0x34, 0x12, 0x00, 0x05, 0x00, 0x00, 0x80, 0x3F});
            fake.HangUpAfter(50ms);
        },
        [](SerialStream& stream) {
            RecordingHandle handle(stream);
            const std::string received = handle.ReceiveOne();
            handle.SendDeviceWakeup();
            return received;
        },
        200ms,
        "Receive 0, status callback with 0 user-data bytes",
        "[err] Library/src/Device:153> timeout waiting for bytes\n"
        "[err] Library/src/SerialStream:53> unable to write '1' bytes to stream\n",
    });
}

}  // namespace tavix_test
