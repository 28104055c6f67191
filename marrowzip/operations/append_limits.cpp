#include "marrowzip/operations/append_limits.hpp"

#include <limits>

namespace marrowzip {
namespace {

constexpr std::uint64_t sizeLimit = 0xFFFFFFFF;

}  // namespace

std::uint64_t maximumDeflatedSize(std::uint64_t uncompressedSize) {
    // Incompressible input leaves zlib as stored blocks of at most 16 KiB with its default
    // memory level, each with 5 bytes of framing (about 0.03 %). Three times that share plus
    // 64 KiB for the final blocks covers other memory levels and flushes with room to spare;
    // reserving ZIP64 fields a little early costs 20 bytes and nothing else.
    const std::uint64_t overhead = uncompressedSize / 1024 + 65536;
    if (uncompressedSize > std::numeric_limits<std::uint64_t>::max() - overhead) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return uncompressedSize + overhead;
}

bool needsZIP64Sizes(std::uint64_t uncompressedSize, CompressionMethod compressionMethod) {
    if (uncompressedSize >= sizeLimit) return true;
    return compressionMethod == CompressionMethod::deflate &&
           maximumDeflatedSize(uncompressedSize) >= sizeLimit;
}

}  // namespace marrowzip
