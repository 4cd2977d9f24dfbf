// The fuzz targets' model of one serial line and of the device's read_buffer: what the device
// has sent, how much of it the host has taken, and which bytes the reads must have left at the
// start of read_buffer. Each operation mirrors one reader of Devices::Device on a memory stream,
// where a wait for bytes that are not there ends at once.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "MemoryStream.h"
#include "TavixHardwareAPI/Device.h"

namespace tavix_fuzz {

class Line {
public:
    static constexpr size_t kBufferSize = Tavix::HardwareAPI::Devices::Device::kBufferSize;

    void Arrive(FuzzInput::Chunk chunk) { bytes.insert(bytes.end(), chunk.data, chunk.data + chunk.size); }
    size_t Waiting() const { return bytes.size() - taken; }
    const uint8_t* Next() const { return bytes.data() + taken; }
    // Bytes taken into somewhere other than read_buffer.
    void Take(size_t n) { taken += n; }
    // Bytes read to the start of read_buffer.
    void TakeIntoBuffer(size_t n) {
        if (n == 0) return;  // the line may still be empty, and memcpy must never see its null data
        std::memcpy(buffer.data(), Next(), n);
        taken += n;
    }

    // What ReadHeaderCode returns, taking what it takes: notifications (0xBA/0xBB, a spare
    // byte, a length L, L bytes) are skipped while complete.
    uint8_t TakeHeaderCode() {
        for (;;) {
            if (Waiting() < 1) return 0;
            const uint8_t code = Next()[0];
            TakeIntoBuffer(1);
            if (code != 0xBA && code != 0xBB) return code;
            if (Waiting() < 2) return 0;
            const uint8_t length = Next()[1];
            Take(2);  // the notification header goes to a local, not to read_buffer
            if (Waiting() < length) return 0;
            TakeIntoBuffer(length);
        }
    }

    // What ReadBytes(n) returns: all `n` when they are waiting and fit read_buffer, else 0
    // with nothing taken.
    int ReadBytes(size_t n) {
        if (n > kBufferSize || Waiting() < n) return 0;
        TakeIntoBuffer(n);
        return static_cast<int>(n);
    }

    // FlushInput: rounds of whatever is waiting, at most a buffer each.
    void Flush(int rounds) {
        for (int round = 0; round < rounds && Waiting() > 0; ++round) TakeIntoBuffer(std::min(Waiting(), kBufferSize));
    }

    const uint8_t* Buffer() const { return buffer.data(); }
    bool BufferMatches(const char* read_buffer) const {
        return std::memcmp(read_buffer, buffer.data(), buffer.size()) == 0;
    }

private:
    std::vector<uint8_t> bytes;
    size_t taken = 0;
    std::array<uint8_t, kBufferSize> buffer{};  // a new device's buffers are zero-filled
};

// The memory stream a device reads and the model of it, fed the same bytes. A target's
// session derives from it and adds its device on `stream`.
struct ModelledStream {
    // A closed port: a wait for bytes that are not there ends at once.
    ModelledStream() { stream.open = false; }

    tavix_test::MemoryStream stream;
    Line line;

    void Arrive(FuzzInput::Chunk chunk) {
        stream.Feed(chunk.data, chunk.size);
        line.Arrive(chunk);
    }

    // After every operation: the stream never failed, it holds what the model says is still
    // waiting, and the device's read_buffer holds what the model says it does.
    void Check(const char* read_buffer) {
        FUZZ_CHECK(stream.good());
        FUZZ_CHECK(static_cast<size_t>(stream.Available()) == line.Waiting());
        FUZZ_CHECK(line.BufferMatches(read_buffer));
    }
};

}  // namespace tavix_fuzz
