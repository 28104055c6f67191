#include "marrowzip/processing/crc32.hpp"

#include <libdeflate.h>

namespace marrowzip {

std::uint32_t updateCRC32(ByteView data, std::uint32_t checksum) {
    // libdeflate answers a null buffer with 0, the initial value, whatever checksum it is given;
    // an empty span may hold null, and an empty chunk must leave a running checksum as it is.
    if (data.empty()) return checksum;
    return libdeflate_crc32(checksum, data.data(), data.size());
}

}  // namespace marrowzip
