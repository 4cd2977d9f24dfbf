// What the fuzz targets share: reading the fuzz input as steering values and line bytes, and
// a check that stops the run (libFuzzer keeps the input as a crash reproducer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace tavix_fuzz {

[[noreturn]] inline void CheckFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

#define FUZZ_CHECK(condition) ((condition) ? void() : ::tavix_fuzz::CheckFailed(#condition, __FILE__, __LINE__))

// Reads the input front to back. Past its end reads give zeros and empty chunks, so every
// input is a valid one.
class FuzzInput {
public:
    struct Chunk {
        const uint8_t* data;
        size_t size;
    };

    FuzzInput(const uint8_t* data, size_t size) : next(data), left(size) {}

    bool Empty() const { return left == 0; }
    uint8_t Byte() {
        if (left == 0) return 0;
        --left;
        return *next++;
    }
    // Two bytes, little-endian.
    uint16_t Word() {
        const uint8_t low = Byte();
        return static_cast<uint16_t>(low | Byte() << 8);
    }
    // The next `n` bytes, or all that are left when fewer.
    Chunk Bytes(size_t n) {
        const Chunk chunk{next, n < left ? n : left};
        next += chunk.size;
        left -= chunk.size;
        return chunk;
    }

private:
    const uint8_t* next;
    size_t left;
};

}  // namespace tavix_fuzz
