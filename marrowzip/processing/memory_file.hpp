// A byte buffer with a position, opened as an ordinary stdio stream, so that the whole engine
// works on in-memory archives exactly as on files.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "marrowzip/common/types.hpp"
#include "marrowzip/common/unique_file.hpp"

namespace marrowzip {

// Where a seek by `offset` from `origin` lands in a stream at `position` of `length` bytes.
// Positions past the end are allowed (a later write fills the gap with zeros); positions before
// the start are refused, as a file refuses them. -1 for those and for an unknown origin.
std::int64_t seekTarget(std::int64_t offset, int origin, std::int64_t position,
                        std::int64_t length) noexcept;

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

    // A seam for storage that fails, for the tests of the operations: asked before every
    // transfer of a stream of this buffer, the gate answers how many of the `length` bytes at the
    // position go through and, when that is fewer, the errno value the transfer fails with.
    // Storage fails like that: part of a write lands, then the disk is full; a read breaks off.
    // Without a gate every transfer goes through.
    enum class Transfer { read, write };
    struct TransferLimit {
        std::size_t bytes = 0;
        int error = 0;
    };
    using TransferGate =
        std::function<TransferLimit(Transfer kind, std::int64_t position, std::size_t length)>;
    void setTransferGate(TransferGate gate) { gate_ = std::move(gate); }
    // What the gate lets through of a transfer of `length` bytes at the position.
    TransferLimit admit(Transfer kind, std::size_t length) const noexcept;

    // The stream callbacks. A read while the position lies outside the buffer delivers nothing.
    std::size_t readBytes(char* destination, std::size_t capacity);
    std::size_t writeBytes(const char* source, std::size_t length);
    // Returns the new position, or -1 for an unknown origin.
    std::int64_t seekTo(std::int64_t offset, int origin);

private:
    explicit MemoryFile(Bytes data) : data_(std::move(data)) {}

    Bytes data_;
    std::int64_t offset_ = 0;
    TransferGate gate_;
};

}  // namespace marrowzip
