#include "TavixHardwareAPI/UUID.h"

#include <cstring>

namespace Tavix::HardwareAPI {

UUID::UUID(const char* wire) { std::memcpy(value.data(), wire, kSize); }

std::string UUID::ToHex() const {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(2 * kSize, '0');
    for (size_t i = 0; i < kSize; ++i) {
        text[2 * i] = kDigits[value[i] >> 4];
        text[2 * i + 1] = kDigits[value[i] & 0x0F];
    }
    return text;
}

}  // namespace Tavix::HardwareAPI
