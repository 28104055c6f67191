// The ZIP format's constants that more than one record or layer uses: signatures, header IDs,
// flag bits, the 32-bit sentinels and the field limits. One definition each; the records and
// their readers and writers include this header.
#pragma once

#include <cstdint>

namespace marrowzip::format {

// The value a 32-bit size or offset field holds when the real value is in the ZIP64 block.
inline constexpr std::uint32_t sentinel32 = 0xFFFFFFFF;

}  // namespace marrowzip::format
