// The arm answers the device identifier query with both header codes, the length byte and
// half of the identifier, then falls silent. The payload wait ends at its deadline and the
// query gives the all-zero identifier, as for no answer at all.
#include <gtest/gtest.h>

#include "FaultScenario.h"
#include "TavixHardwareAPI/Osmira.h"

namespace tavix_test {

TEST(Faults, ArmQueryReplyCutShort) {
    RunFaultScenario({
        [](FakeDevice& fake) { fake.Send(Concat({{0x0D, 0xD1, 0x10}, Bytes(8, 0x5A)})); },
        [](SerialStream& stream) {
            Tavix::HardwareAPI::Devices::Osmira arm(stream, kFaultTimeout);
            return "device id " + arm.GetDeviceId().ToHex();
        },
        200ms,
        "device id 00000000000000000000000000000000",
        "[err] Library/src/Device:153> timeout waiting for bytes\n",
    });
}

}  // namespace tavix_test
