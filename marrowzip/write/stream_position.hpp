// Positioning of the archive streams for the operations that write them: absolute offsets as
// unsigned 64-bit values, and failures reported as the DataError the caller names.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>

#include "marrowzip/common/error.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/file_position.hpp"

namespace marrowzip {

inline void seekStream(std::FILE* stream, std::uint64_t offset,
                       DataError failure = DataError::unwritableFile) {
    if (!fitsFilePosition(offset)) throw Error(failure);
    if (::fseeko(stream, static_cast<off_t>(offset), SEEK_SET) != 0) {
        // A seek writes the stream's buffer out first: a write that failed (a full disk) is
        // reported as such.
        if (std::ferror(stream)) throw writeFailure();
        throw Error(failure);
    }
}

inline std::uint64_t streamPosition(std::FILE* stream,
                                    DataError failure = DataError::unwritableFile) {
    const off_t position = ::ftello(stream);
    if (position < 0) throw Error(failure);
    return static_cast<std::uint64_t>(position);
}

}  // namespace marrowzip
