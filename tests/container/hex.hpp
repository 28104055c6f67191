// Bytes written as hexadecimal text in the tests: "504b 0506" → {0x50, 0x4b, 0x05, 0x06}.
#pragma once

#include <string>

#include "marrowzip/common/types.hpp"

namespace marrowzip::testing {

inline Bytes hex(std::string digits) {
    std::erase(digits, ' ');
    Bytes out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// The little-endian 16-bit length, as hexadecimal text, of the bytes that `digits` spell.
inline std::string hexLength(const std::string& digits) {
    const std::size_t length = hex(digits).size();
    static constexpr char symbols[] = "0123456789abcdef";
    std::string text;
    for (const std::size_t value : {length & 0xFF, length >> 8})
        text += {symbols[value >> 4 & 0xF], symbols[value & 0xF]};
    return text;
}

}  // namespace marrowzip::testing
