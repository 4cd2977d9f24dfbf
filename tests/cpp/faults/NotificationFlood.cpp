// Thousands of notification frames (both codes, empty and with payload) crowd out the reply:
// the reader drops every one of them and still returns the reply behind them.
#include <gtest/gtest.h>

#include "FaultScenario.h"

namespace tavix_test {

TEST(Faults, NotificationFlood) {
    RunFaultScenario({
        [](FakeDevice& fake) {
            Bytes flood;
            for (int i = 0; i < 3000; ++i) {
                const auto length = static_cast<uint8_t>(i % 9);
                flood.insert(flood.end(), {static_cast<uint8_t>(i % 2 ? 0xBA : 0xBB), 0x2B, length});
                flood.insert(flood.end(), length, 0x2B);
            }
            // From the script: the pseudo-terminal holds only a few kilobytes until the reader drains it.
            fake.SendAfter(0ms, Concat({flood, {0x2B}, Floats({1, 2, 3, 4, 5, 6})}));
        },
        ReadOneReply,
        200ms,
        "reply 0x2B 24 bytes",
        "",
    });
}

}  // namespace tavix_test
