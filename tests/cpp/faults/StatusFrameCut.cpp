// A framed status message stops after 30 of its bytes: enough for the reader to start on it,
// not enough to finish it. The cut frame fails its checksum and, with nothing more waiting,
// the snapshot gives up at once with 3.
#include <gtest/gtest.h>

#include "FaultScenario.h"
#include "HoldraFrames.h"

namespace tavix_test {

TEST(Faults, StatusFrameCut) {
    RunFaultScenario({
        [](FakeDevice& fake) {
            Bytes payload(40, 0x11);
            payload[4] = 0xC0;  // an escaped device id
            Bytes wire = Frame(payload);
            wire.resize(30);
            fake.Send(wire);
        },
        TakeHoldraStatus,
        2000ms,
        "error_flag 3",
        "",
    });
}

}  // namespace tavix_test
