#include "marrowzip/processing/crc32.hpp"

#include <zlib.h>

#include <algorithm>

namespace marrowzip {

std::uint32_t updateCRC32(ByteView data, std::uint32_t checksum) {
    // zlib takes a 32-bit length; a larger view is continued piece by piece.
    constexpr std::size_t pieceLimit = std::size_t{1} << 30;
    uLong crc = checksum;
    std::size_t done = 0;
    do {
        const std::size_t piece = std::min(data.size() - done, pieceLimit);
        // zlib wants a valid pointer even for zero bytes; an empty span may hold null.
        static constexpr Bytef empty[1] = {0};
        const Bytef* start = data.empty() ? empty : data.data() + done;
        crc = ::crc32(crc, start, static_cast<uInt>(piece));
        done += piece;
    } while (done < data.size());
    return static_cast<std::uint32_t>(crc);
}

}  // namespace marrowzip
