// A framed status message with a 5000-byte body made only of bytes that must be escaped
// (10002 bytes on the wire, far beyond read_buffer), then ordinary traffic. The pseudo-
// terminal, like a real line, delivers it in pieces, so the reader may cut it anywhere; the
// body fails its checksum at every length, so wherever the cut falls the frame is refused,
// the following bytes hold no status header, and the search gives up after 101 codes.
#include <gtest/gtest.h>

#include "FaultScenario.h"
#include "HoldraFrames.h"

namespace tavix_test {

namespace {

// 0xC0 and 0xDB only, chosen so that no prefix long enough to decode passes the checksum.
Bytes BodyRefusedAtEveryLength(size_t length) {
    Bytes body;
    uint8_t sum = 0xDA;
    for (size_t i = 0; i < length; ++i) {
        uint8_t byte = i % 2 ? 0xDB : 0xC0;
        if (byte == sum) byte = byte == 0xC0 ? 0xDB : 0xC0;
        body.push_back(byte);
        sum = static_cast<uint8_t>(sum + byte);
    }
    return body;
}

}  // namespace

TEST(Faults, StatusFrameOversized) {
    RunFaultScenario({
        [](FakeDevice& fake) {
            // From the script: the pseudo-terminal holds only a few kilobytes until the reader drains it.
            fake.SendAfter(0ms, Concat({FrameOfBody(BodyRefusedAtEveryLength(5000)), Bytes(200, 0x55)}));
        },
        TakeHoldraStatus,
        2200ms,
        "error_flag 3",
        "",
    });
}

}  // namespace tavix_test
