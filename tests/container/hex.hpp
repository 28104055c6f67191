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

}  // namespace marrowzip::testing
