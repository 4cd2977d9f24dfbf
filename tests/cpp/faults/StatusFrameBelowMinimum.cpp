// Only twelve bytes of a framed status message arrive: never the 19 a frame needs. The
// snapshot's own wait gives up after one to two seconds with 99, reading nothing.
#include <gtest/gtest.h>

#include "FaultScenario.h"

namespace tavix_test {

TEST(Faults, StatusFrameBelowMinimum) {
    RunFaultScenario({
        [](FakeDevice& fake) { fake.Send({0xDA, 0x00, 0x00, 0x00, 0x45, 0x07, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00}); },
        TakeHoldraStatus,
        2000ms,
        "error_flag 99",
        "",
    });
}

}  // namespace tavix_test
