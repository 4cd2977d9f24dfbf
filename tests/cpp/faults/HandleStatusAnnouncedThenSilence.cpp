// A handle status message announces the most user data it can (255 bytes) after its 21
// fixed bytes, sends ten of them and stops. The user-data wait ends at its deadline; the
// callbacks still run, with the announced length and what read_buffer held, and Receive
// returns only the fixed part's count, which tells the caller the data is missing.
#include <gtest/gtest.h>

#include "FaultScenario.h"

namespace tavix_test {

TEST(Faults, HandleStatusAnnouncedThenSilence) {
    RunFaultScenario({
        [](FakeDevice& fake) {
            fake.Send(Concat({{0xDA, 0x34, 0x12, 0x00, 0x05}, Floats({1.0f, 0.0f, 0.0f, 0.0f}), {0xFF},
                              Bytes(10, 0x55)}));
        },
        [](SerialStream& stream) { return RecordingHandle(stream).ReceiveOne(); },
        200ms,
        "Receive 21, status callback with 255 user-data bytes",
        "[err] Library/src/Device:153> timeout waiting for bytes\n",
    });
}

}  // namespace tavix_test
