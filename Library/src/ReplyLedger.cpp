#include "TavixHardwareAPI/ReplyLedger.h"

#include <algorithm>

namespace Tavix::HardwareAPI::Devices {

namespace {
// Takes up to `n` from `owed` and returns what is left of `n`.
template <typename Count>
size_t Take(Count& owed, size_t n) {
    const auto taken = std::min(static_cast<size_t>(owed), n);
    owed = static_cast<Count>(static_cast<size_t>(owed) - taken);
    return n - taken;
}
}  // namespace

void ReplyLedger::Expect(uint8_t headers, uint16_t payload, bool awaited) {
    if (count == kCapacity) PopFront();
    ring[(head + count) % kCapacity] = Reply{headers, payload, awaited};
    count += 1;
}

void ReplyLedger::PopFront() {
    if (count == 0) return;
    head = (head + 1) % kCapacity;
    count -= 1;
}

bool ReplyLedger::HasAwaited() const {
    for (size_t i = 0; i < count; ++i)
        if (ring[(head + i) % kCapacity].awaited) return true;
    return false;
}

void ReplyLedger::AbandonFirstAwaited() {
    for (size_t i = 0; i < count; ++i) {
        Reply& reply = ring[(head + i) % kCapacity];
        if (reply.awaited) {
            reply.awaited = false;
            return;
        }
    }
}

void ReplyLedger::Consume(size_t n) {
    if (partial.notification_header) {
        // Its length byte went with the raw read: the payload it announced cannot be known.
        partial = Partial{};
        n = n > 2 ? n - 2 : 0;
    }
    for (;;) {
        n = Take(partial.before, n);
        n = Take(partial.headers, n);
        n = Take(partial.after, n);
        if (partial.after == 0) partial.length_at = Partial::kNoLength;
        if (n == 0 || count == 0) return;
        // The raw read reaches into the next whole reply: what is left of it is nobody's.
        partial.headers = Front().headers;
        partial.after = Front().payload;
        PopFront();
    }
}

void ReplyLedger::Clear() {
    partial = Partial{};
    head = 0;
    count = 0;
}

}  // namespace Tavix::HardwareAPI::Devices
