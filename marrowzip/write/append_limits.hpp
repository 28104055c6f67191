// The choice, made before an entry's data is written, of whether its local header carries its
// sizes in a ZIP64 block. The header is written twice at the same place, so both writes must
// have the same length: the choice has to hold for any size the compressor may produce.
#pragma once

#include <cstdint>

#include "marrowzip/common/types.hpp"

namespace marrowzip {

// An upper bound of the DEFLATE output for `uncompressedSize` bytes of any content.
std::uint64_t maximumDeflatedSize(std::uint64_t uncompressedSize);

// Whether either size of the entry may reach 0xFFFFFFFF.
bool needsZIP64Sizes(std::uint64_t uncompressedSize, CompressionMethod compressionMethod);

}  // namespace marrowzip
