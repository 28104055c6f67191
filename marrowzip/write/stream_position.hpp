// Positioning of the archive streams for the operations that write them: absolute offsets as
// unsigned 64-bit values, and failures reported as the DataError the caller names.
#pragma once

#include <stdio_ext.h>
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

// Puts the stream at `offset` to write there. A stream last written right there is left as it is:
// a seek would write its buffer out and read a block back in, for every entry of a run of small
// ones. One last read from (an extraction, the directory loaded) is always seeked, as the switch
// from reading to writing needs.
inline void seekStreamForWriting(std::FILE* stream, std::uint64_t offset) {
    if (__fwriting(stream) == 0 || streamPosition(stream) != offset) {
        seekStream(stream, offset);
    }
}

}  // namespace marrowzip
