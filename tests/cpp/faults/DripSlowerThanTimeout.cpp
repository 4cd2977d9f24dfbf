// The payload arrives one byte at a time, each slower than the read timeout: the payload
// wait does not stretch with the drip, it ends at its one deadline.
#include <gtest/gtest.h>

#include "FaultScenario.h"

namespace tavix_test {

TEST(Faults, DripSlowerThanTimeout) {
    RunFaultScenario({
        [](FakeDevice& fake) {
            fake.Send({0x2B});
            fake.SendAfter(300ms, {0x01});
            fake.SendAfter(300ms, {0x02});
        },
        ReadOneReply,
        200ms,
        "missing",
        "[err] Library/src/Device:153> timeout waiting for bytes\n",
    });
}

}  // namespace tavix_test
