#include "marrowzip/write/append_limits.hpp"

#include <limits>

#include "marrowzip/format/format.hpp"

namespace marrowzip {
std::uint64_t maximumDeflatedSize(std::uint64_t uncompressedSize) {
    // With the coder's settings (window 15, memory level 8) zlib bounds its output by the input
    // plus about 0.03 % (5 bytes of stored-block framing per 16 KiB) and a few bytes. Three
    // times that share plus 64 KiB leaves ample room; reserving the ZIP64 fields a little early
    // costs 20 bytes and nothing else.
    const std::uint64_t overhead = uncompressedSize / 1024 + 65536;
    if (uncompressedSize > std::numeric_limits<std::uint64_t>::max() - overhead) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return uncompressedSize + overhead;
}

bool needsZIP64Sizes(std::uint64_t uncompressedSize, CompressionMethod compressionMethod) {
    if (uncompressedSize >= sentinel32) return true;
    return compressionMethod == CompressionMethod::deflate &&
           maximumDeflatedSize(uncompressedSize) >= sentinel32;
}

}  // namespace marrowzip
