// CRC-32 as the ZIP format prescribes it, continued chunk by chunk from 0.
#pragma once

#include <cstdint>

#include "marrowzip/common/types.hpp"

namespace marrowzip {

std::uint32_t updateCRC32(ByteView data, std::uint32_t checksum);

// The CRC-32 of two pieces of data one after the other, from the CRC-32 of each and the length
// of the second: pieces checked on different threads give the checksum of the whole.
std::uint32_t combineCRC32(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength);

}  // namespace marrowzip
