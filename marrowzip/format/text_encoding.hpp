// Decoding of entry names and Unicode comparison of paths.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "marrowzip/common/types.hpp"

namespace marrowzip {

// The bytes when they are valid UTF-8, else absent.
std::optional<std::string> decodeUTF8(ByteView bytes);
// The same into `text`, reusing its storage; false (and `text` unchanged) when not UTF-8.
bool decodeUTF8(ByteView bytes, std::string& text);
// Every byte value maps to its standard character of code page 437.
std::string decodeCP437(ByteView bytes);
// Decodes with an ICU converter name ("cp437", "Shift_JIS", "UTF-8", …); absent when the name is
// unknown or the bytes do not decode.
std::optional<std::string> decodeWithEncoding(ByteView bytes, std::string_view encodingName);

// Canonical composition (NFC), so that canonically equivalent texts compare equal bytewise.
std::string normalizedNFC(std::string_view utf8);
bool canonicallyEqual(std::string_view a, std::string_view b);

}  // namespace marrowzip
