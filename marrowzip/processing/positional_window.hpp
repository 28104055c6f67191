// Reads small records at given offsets of a stream through one window of its bytes: records that
// lie near each other (the central directory, the local headers of small entries) come from
// memory, and each refill is one read at a position, which leaves the stream's own position as
// it was. Streams without a file descriptor (archives in memory) are read through the stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "marrowzip/common/types.hpp"

namespace marrowzip {

class PositionalWindow {
public:
    // The default holds about 1,500 central records of short names per read. A window read
    // forwards grows to its size from 4 KiB, doubling with each read that starts at most its
    // own length past where the last one ended; a read elsewhere starts at 4 KiB again:
    // records far apart cost no more than their own bytes.
    static constexpr std::size_t defaultSize = std::size_t{128} << 10;
    static constexpr std::size_t firstSize = std::size_t{4} << 10;

    explicit PositionalWindow(std::FILE* stream, std::size_t size = defaultSize)
        : stream_(stream), size_(size) {}

    // The `length` bytes at `offset`, fewer where the stream ends or cannot be read. Valid until
    // the next call. A length beyond the window's size gets a read of its own.
    ByteView read(std::uint64_t offset, std::size_t length);

    // Reads `stream` from now on; a different stream empties the window.
    void use(std::FILE* stream);

private:
    void fill(std::uint64_t offset, std::size_t length);

    std::FILE* stream_;
    std::size_t size_;
    // The bytes from start_ that the last fill could read. Not cleared before a fill: zeroing
    // the window each time would cost as much as the read.
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t capacity_ = 0;
    std::size_t length_ = 0;
    std::size_t nextSize_ = firstSize;
    std::uint64_t start_ = 0;
};

}  // namespace marrowzip
