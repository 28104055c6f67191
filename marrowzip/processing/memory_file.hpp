// A byte buffer with a position, opened as an ordinary stdio stream, so that the whole engine
// works on in-memory archives exactly as on files.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "marrowzip/common/types.hpp"
#include "marrowzip/common/unique_file.hpp"

namespace marrowzip {

class MemoryFile : public std::enable_shared_from_this<MemoryFile> {
public:
    static std::shared_ptr<MemoryFile> make(Bytes data = {});

    // Opens the buffer with a stdio mode ("rb", "rb+", "wb+", "a", …). Only the first and last
    // characters matter: a mode is writable unless it starts with "r" and does not end with
    // "+"; "a" starts at the end. No mode empties the buffer. The stream keeps the MemoryFile
    // alive until it is closed. Null when the C library cannot create the stream.
    UniqueFile openStream(std::string_view mode);

    // The bytes the stream has delivered so far (stdio flushes its own buffer on fflush, on a
    // seek and on close).
    const Bytes& data() const noexcept { return data_; }
    std::int64_t offset() const noexcept { return offset_; }

    // The stream callbacks. A read while the position lies outside the buffer delivers nothing.
    std::size_t readBytes(char* destination, std::size_t capacity);
    std::size_t writeBytes(const char* source, std::size_t length);
    // Returns the new position, or -1 for an unknown origin.
    std::int64_t seekTo(std::int64_t offset, int origin);

private:
    explicit MemoryFile(Bytes data) : data_(std::move(data)) {}

    Bytes data_;
    std::int64_t offset_ = 0;
};

}  // namespace marrowzip
