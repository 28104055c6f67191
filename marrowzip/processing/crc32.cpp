#include "marrowzip/processing/crc32.hpp"

#include <libdeflate.h>
#include <zlib.h>

namespace marrowzip {

std::uint32_t updateCRC32(ByteView data, std::uint32_t checksum) {
    // libdeflate answers a null buffer with 0, the initial value, whatever checksum it is given;
    // an empty span may hold null, and an empty chunk must leave a running checksum as it is.
    if (data.empty()) return checksum;
    return libdeflate_crc32(checksum, data.data(), data.size());
}

std::uint32_t combineCRC32(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength) {
    return static_cast<std::uint32_t>(
        crc32_combine64(first, second, static_cast<z_off64_t>(secondLength)));
}

}  // namespace marrowzip
