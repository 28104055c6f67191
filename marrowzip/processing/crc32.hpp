// CRC-32 as the ZIP format prescribes it, continued chunk by chunk from 0.
#pragma once

#include <cstdint>

#include "marrowzip/common/types.hpp"

namespace marrowzip {

std::uint32_t updateCRC32(ByteView data, std::uint32_t checksum);

}  // namespace marrowzip
