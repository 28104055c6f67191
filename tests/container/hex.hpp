// Bytes written as hexadecimal text in the tests: "504b 0506" → {0x50, 0x4b, 0x05, 0x06}.
#pragma once

#include <string>

#include "marrowzip/common/types.hpp"

namespace marrowzip::testing {

inline Bytes hex(const std::string& text) {
    const auto value = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ' ') continue;
        if (high < 0) {
            high = value(c);
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | value(c)));
            high = -1;
        }
    }
    return out;
}

}  // namespace marrowzip::testing
