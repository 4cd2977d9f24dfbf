// A 16-byte device identifier, held in the order its bytes arrive on the wire.
//
// The bytes carry no structure of their own here (no version or variant fields, no byte
// swapping): the arm reports them and the library passes them on. A default-constructed
// identifier is all zeros, which is also what a missing or malformed reply yields.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace Tavix::HardwareAPI {

class UUID {
public:
    static constexpr size_t kSize = 16;
    using Bytes = std::array<uint8_t, kSize>;

    // All sixteen bytes zero.
    UUID() = default;
    // Copies kSize bytes from `wire` (not owned, must hold at least kSize bytes).
    explicit UUID(const char* wire);

    const Bytes& bytes() const { return value; }
    // 32 lowercase hexadecimal digits, two per byte in wire order, no separators:
    // the form Python's uuid.UUID(hex=...) takes.
    std::string ToHex() const;

private:
    Bytes value{};
};

}  // namespace Tavix::HardwareAPI
