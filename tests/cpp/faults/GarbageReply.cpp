// The device answers with bytes that are no reply: the reader takes the first as a header
// code, finds it wrong and tries once to resynchronise, which ends at its deadline.
#include <gtest/gtest.h>

#include "FaultScenario.h"

namespace tavix_test {

TEST(Faults, GarbageReply) {
    RunFaultScenario({
        [](FakeDevice& fake) {
            Bytes garbage(40);
            for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(0x13 + 37 * i);
            fake.Send(garbage);
        },
        ReadOneReply,
        200ms,
        "missing",
        "[err] Library/src/Device:153> timeout waiting for bytes\n",
    });
}

}  // namespace tavix_test
