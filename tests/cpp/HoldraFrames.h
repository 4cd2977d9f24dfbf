// Building the handle's framed status messages: 0xDA, the body (payload and checksum byte)
// with 0xC0 sent as DB DC and 0xDB as DB DD, then the end marker 0xC0.
#pragma once

#include <cstdint>
#include <vector>

namespace tavix_test {

inline std::vector<uint8_t> Escaped(const std::vector<uint8_t>& body) {
    std::vector<uint8_t> wire;
    for (uint8_t byte : body) {
        if (byte == 0xC0) {
            wire.insert(wire.end(), {0xDB, 0xDC});
        } else if (byte == 0xDB) {
            wire.insert(wire.end(), {0xDB, 0xDD});
        } else {
            wire.push_back(byte);
        }
    }
    return wire;
}

// The sum of 0xDA and the payload bytes, modulo 256.
inline uint8_t Checksum(const std::vector<uint8_t>& payload) {
    uint8_t sum = 0xDA;
    for (uint8_t byte : payload) sum = static_cast<uint8_t>(sum + byte);
    return sum;
}

// The frame of a body that already ends in its checksum byte (sound or not).
inline std::vector<uint8_t> FrameOfBody(const std::vector<uint8_t>& body) {
    std::vector<uint8_t> wire = {0xDA};
    const std::vector<uint8_t> escaped = Escaped(body);
    wire.insert(wire.end(), escaped.begin(), escaped.end());
    wire.push_back(0xC0);
    return wire;
}

// The frame of a payload with its sound checksum.
inline std::vector<uint8_t> Frame(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> body = payload;
    body.push_back(Checksum(payload));
    return FrameOfBody(body);
}

}  // namespace tavix_test
