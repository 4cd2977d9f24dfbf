// A notification announces the longest payload (255 bytes), sends a few of them and stops:
// the drain ends at its deadline, then the reader's resynchronisation attempt at its own.
#include <gtest/gtest.h>

#include "FaultScenario.h"

namespace tavix_test {

TEST(Faults, AnnouncedLengthThenSilence) {
    RunFaultScenario({
        [](FakeDevice& fake) { fake.Send(Concat({{0xBA, 0x00, 0xFF}, Bytes(10, 0x55)})); },
        ReadOneReply,
        400ms,
        "missing",
        "[err] Library/src/Device:128> timeout draining notification payload\n"
        "[err] Library/src/Device:153> timeout waiting for bytes\n",
    });
}

}  // namespace tavix_test
