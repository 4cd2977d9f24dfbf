// The cable is pulled while a reader without deadline waits for the rest of a reply: the
// dead line counts as a closed port, so the wait ends at the hang-up instead of never.
#include <gtest/gtest.h>

#include "FaultScenario.h"

namespace tavix_test {

TEST(Faults, HangUpWithoutDeadline) {
    RunFaultScenario({
        [](FakeDevice& fake) {
            fake.Send(Concat({{0x2B}, Floats({1.0f, 2.0f})}));
            fake.HangUpAfter(50ms);
        },
        [](SerialStream& stream) {
            Device device(stream, 0.0f);
            return ReadReply(device, 0x2B, 24);
        },
        50ms,
        "missing",
        "[err] Library/src/Device:153> timeout waiting for bytes\n",
    });
}

}  // namespace tavix_test
