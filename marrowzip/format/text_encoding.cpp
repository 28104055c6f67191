#include "marrowzip/format/text_encoding.hpp"

#include <unicode/normalizer2.h>
#include <unicode/ucnv.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace marrowzip {
namespace {

struct ConverterCloser {
    void operator()(UConverter* converter) const noexcept { ucnv_close(converter); }
};
using UniqueConverter = std::unique_ptr<UConverter, ConverterCloser>;

// A converter that stops at the first byte sequence it cannot map instead of substituting.
UniqueConverter openStrictConverter(const std::string& name) {
    UErrorCode status = U_ZERO_ERROR;
    UniqueConverter converter(ucnv_open(name.c_str(), &status));
    if (U_FAILURE(status) || !converter) return nullptr;
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &status);
    if (U_FAILURE(status)) return nullptr;
    return converter;
}

// Decodes to UTF-16; a single-byte code page gives exactly one unit per byte.
std::optional<std::vector<UChar>> toUTF16(UConverter* converter, ByteView bytes) {
    if (bytes.empty()) return std::vector<UChar>{};
    std::vector<UChar> units(bytes.size() * 2 + 1);
    UErrorCode status = U_ZERO_ERROR;
    const auto convert = [&] {
        return ucnv_toUChars(converter, units.data(), static_cast<int32_t>(units.size()),
                             reinterpret_cast<const char*>(bytes.data()),
                             static_cast<int32_t>(bytes.size()), &status);
    };
    int32_t length = convert();
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        // A converter that maps one byte to several characters: convert again with room.
        units.resize(static_cast<std::size_t>(length) + 1);
        status = U_ZERO_ERROR;
        ucnv_resetToUnicode(converter);
        length = convert();
    }
    if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return std::nullopt;
    units.resize(static_cast<std::size_t>(length));
    return units;
}

std::string toUTF8(const std::vector<UChar>& units) {
    std::string text;
    icu::UnicodeString(units.data(), static_cast<int32_t>(units.size())).toUTF8String(text);
    return text;
}

}  // namespace

std::optional<std::string> decodeUTF8(ByteView bytes) {
    std::string text;
    if (!decodeUTF8(bytes, text)) return std::nullopt;
    return text;
}

bool decodeUTF8(ByteView bytes, std::string& text) {
    // Overlong forms, surrogates and code points above U+10FFFF are all rejected here. Every
    // entry's name passes through: the check allocates nothing and skips ASCII eight bytes at a
    // time.
    const std::uint8_t* data = bytes.data();
    const std::size_t length = bytes.size();
    for (std::size_t i = 0; i < length;) {
        std::uint64_t word = 0;
        if (length - i >= sizeof word) {
            std::memcpy(&word, data + i, sizeof word);
            if ((word & 0x8080808080808080U) == 0) {
                i += sizeof word;
                continue;
            }
        }
        if (data[i] < 0x80) {
            ++i;
            continue;
        }
        UChar32 c = 0;
        U8_NEXT(data, i, length, c);
        if (c < 0) return false;
    }
    // As characters: assigning from byte iterators would build a temporary string first.
    text.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return true;
}

std::string decodeCP437(ByteView bytes) {
    // The lower half is ASCII (see below): a name of ASCII alone needs no converter, which
    // costs more to open than the rest of reading an entry.
    if (std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t byte) { return byte < 0x80; })) {
        return std::string(bytes.begin(), bytes.end());
    }
    UniqueConverter converter = openStrictConverter("ibm-437");
    std::optional<std::vector<UChar>> units;
    if (converter) units = toUTF16(converter.get(), bytes);
    if (!units || units->size() != bytes.size()) {
        // Every byte has a character; only a missing ICU data file lands here. Keep ASCII.
        std::string ascii;
        for (std::uint8_t byte : bytes)
            ascii.push_back(byte < 0x80 ? static_cast<char>(byte) : '?');
        return ascii;
    }
    // ICU's IBM table swaps 0x1A, 0x1C and 0x7F among the control characters; the standard
    // code page keeps the whole lower half as ASCII.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] < 0x80) (*units)[i] = bytes[i];
    }
    return toUTF8(*units);
}

std::optional<std::string> decodeWithEncoding(ByteView bytes, std::string_view encodingName) {
    UniqueConverter converter = openStrictConverter(std::string(encodingName));
    if (!converter) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    const char* name = ucnv_getName(converter.get(), &status);
    if (U_SUCCESS(status) && std::string_view(name) == "ibm-437_P100-1995")
        return decodeCP437(bytes);
    auto units = toUTF16(converter.get(), bytes);
    if (!units) return std::nullopt;
    return toUTF8(*units);
}

std::string normalizedNFC(std::string_view utf8) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return std::string(utf8);
    const icu::UnicodeString source = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    const icu::UnicodeString normalized = nfc->normalize(source, status);
    if (U_FAILURE(status)) return std::string(utf8);
    std::string text;
    normalized.toUTF8String(text);
    return text;
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    return a == b || normalizedNFC(a) == normalizedNFC(b);
}

}  // namespace marrowzip
