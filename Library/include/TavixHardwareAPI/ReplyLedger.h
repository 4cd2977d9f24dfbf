// What one line still owes its readers: the replies that were asked for and not read yet, in
// the order the device sends them.
//
// A reply goes unread for many reasons: a send-only call (its Receive comes later), a read that
// timed out or was interrupted part-way, a servo loop's missed iteration, a final frame nobody
// waits for. Each is written down here, so that the next reader skips exactly what belongs to
// earlier requests and takes only its own answer. The ledger is bookkeeping only: Device does
// the reading; every object on the same port shares one ledger (IO::Line).
//
// Layout, in line order: `partial` (the rest of a frame whose reading had begun), then whole
// replies, each either awaited (a Receive call will take it as its answer) or abandoned (its
// reader gave up; whoever reads next discards it).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace Tavix::HardwareAPI::Devices {

class ReplyLedger {
public:
    // The rest of a frame already begun, in line order: the 2-byte header of a notification
    // whose code was read, raw bytes of a frame already begun, reply header codes not read yet
    // (notifications before them are skipped), then raw payload bytes after them. When
    // `length_at` is set, the payload byte at that index announces that many more bytes (a
    // handle status message's user data).
    struct Partial {
        static constexpr int kNoLength = -1;
        bool notification_header = false;
        size_t before = 0;
        int headers = 0;
        size_t after = 0;
        int length_at = kNoLength;

        bool Empty() const { return !notification_header && before == 0 && headers == 0 && after == 0; }
    };

    // One whole reply: `headers` header codes (notifications may come before each), then
    // `payload` bytes.
    struct Reply {
        uint8_t headers = 1;
        uint16_t payload = 0;
        bool awaited = false;
    };

    // Whole replies kept at most; past that the oldest is forgotten (a caller that sends
    // thousands of requests without reading one cannot be kept in step anyway).
    static constexpr size_t kCapacity = 64;

    bool Empty() const { return partial.Empty() && count == 0; }
    size_t Replies() const { return count; }
    const Reply& Front() const { return ring[head]; }

    // A request went out whose reply nobody reads yet.
    void Expect(uint8_t headers, uint16_t payload, bool awaited);
    void PopFront();
    // The first awaited reply is nobody's any more (its reader stopped before reaching it).
    void AbandonFirstAwaited();
    bool HasAwaited() const;
    // `n` bytes were taken off the line unframed (a raw read): what they covered is owed no more.
    void Consume(size_t n);
    void Clear();

    Partial partial;

private:
    std::array<Reply, kCapacity> ring{};
    size_t head = 0;
    size_t count = 0;
};

}  // namespace Tavix::HardwareAPI::Devices
