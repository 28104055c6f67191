#include "marrowzip/processing/crc32.hpp"

#ifdef MARROWZIP_HAVE_ISAL
#include <isa-l/crc.h>
#else
#include <libdeflate.h>
#endif
#include <zlib.h>

namespace marrowzip {

// ISA-L's CRC-32 is about twice as fast as libdeflate's, which serves builds without it.
std::uint32_t updateCRC32(ByteView data, std::uint32_t checksum) {
    // libdeflate answers a null buffer with 0, the initial value, whatever checksum it is given;
    // an empty span may hold null, and an empty chunk must leave a running checksum as it is.
    if (data.empty()) return checksum;
#ifdef MARROWZIP_HAVE_ISAL
    return crc32_gzip_refl(checksum, data.data(), data.size());
#else
    return libdeflate_crc32(checksum, data.data(), data.size());
#endif
}

std::uint32_t combineCRC32(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength) {
    return static_cast<std::uint32_t>(
        crc32_combine64(first, second, static_cast<z_off64_t>(secondLength)));
}

}  // namespace marrowzip
