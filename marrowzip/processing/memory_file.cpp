#include "marrowzip/processing/memory_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

namespace marrowzip {
namespace {

// What the stream's cookie holds: one strong reference, so that the MemoryFile outlives its
// owner's reference for as long as the stream is open. The close callback releases it.
struct StreamCookie {
    std::shared_ptr<MemoryFile> file;
};

MemoryFile& fileOf(void* cookie) {
    return *static_cast<StreamCookie*>(cookie)->file;
}

// The callbacks run inside the C library: nothing may be thrown through it.
ssize_t readCallback(void* cookie, char* destination, std::size_t capacity) noexcept {
    if (cookie == nullptr || destination == nullptr) return 0;
    MemoryFile& file = fileOf(cookie);
    const auto limit = file.admit(MemoryFile::Transfer::read, capacity);
    if (limit.bytes == 0 && limit.error != 0) {
        errno = limit.error;
        return -1;  // stdio sets the stream's error indicator
    }
    return static_cast<ssize_t>(file.readBytes(destination, limit.bytes));
}

ssize_t writeCallback(void* cookie, const char* source, std::size_t length) noexcept {
    if (cookie == nullptr || source == nullptr) return 0;
    MemoryFile& file = fileOf(cookie);
    try {
        const auto limit = file.admit(MemoryFile::Transfer::write, length);
        // A short count makes stdio set the stream's error indicator.
        if (limit.error != 0) errno = limit.error;
        return static_cast<ssize_t>(file.writeBytes(source, limit.bytes));
    } catch (const std::exception&) {
        // The buffer cannot grow that far (a seek far past the end, memory exhausted): a short
        // count makes stdio set the stream's error indicator.
        return 0;
    }
}

int seekCallback(void* cookie, off64_t* offset, int origin) noexcept {
    if (cookie == nullptr) return 0;
    const std::int64_t position = fileOf(cookie).seekTo(*offset, origin);
    if (position < 0) return -1;
    *offset = position;
    return 0;
}

int closeCallback(void* cookie) noexcept {
    std::unique_ptr<StreamCookie>(static_cast<StreamCookie*>(cookie)).reset();
    return 0;
}

}  // namespace

std::shared_ptr<MemoryFile> MemoryFile::make(Bytes data) {
    // A local class may use the private constructor, and make_shared may use the local class.
    struct Constructible : MemoryFile {
        explicit Constructible(Bytes bytes) : MemoryFile(std::move(bytes)) {}
    };
    return std::make_shared<Constructible>(std::move(data));
}

UniqueFile MemoryFile::openStream(std::string_view mode) {
    const bool writable = !mode.empty() && (mode.front() != 'r' || mode.back() == '+');
    const bool append = !mode.empty() && mode.front() == 'a';

    // The C library's own mode is only asked for reading, or reading and writing: "w" would
    // refuse reads and "a" would change where writes land. Without a write callback, writes on
    // a read-only stream fail in stdio and set its error indicator.
    cookie_io_functions_t functions{};
    functions.read = readCallback;
    functions.write = writable ? writeCallback : nullptr;
    functions.seek = seekCallback;
    functions.close = closeCallback;

    auto cookie = std::make_unique<StreamCookie>(StreamCookie{shared_from_this()});
    UniqueFile stream(::fopencookie(cookie.get(), writable ? "r+" : "r", functions));
    if (!stream) return nullptr;  // the cookie, and with it the reference, is released here
    // Now owned by the stream, given back by closeCallback.
    cookie.release();  // NOLINT(bugprone-unused-return-value): the stream holds the pointer

    // A new stream starts at the beginning, also when an earlier stream left the position
    // elsewhere; the position lives here, not in the stream.
    offset_ = 0;
    if (append && ::fseeko(stream.get(), 0, SEEK_END) != 0) return nullptr;
    return stream;
}

MemoryFile::TransferLimit MemoryFile::admit(Transfer kind, std::size_t length) const noexcept {
    if (!gate_) return {length, 0};
    try {
        TransferLimit limit = gate_(kind, offset_, length);
        limit.bytes = std::min(limit.bytes, length);
        if (limit.bytes < length && limit.error == 0) limit.error = EIO;
        return limit;
    } catch (...) {
        return {0, EIO};
    }
}

std::size_t MemoryFile::readBytes(char* destination, std::size_t capacity) {
    // A seek may have left the position past the end (an offset from a damaged archive):
    // that reads as the end of the file.
    const auto length = static_cast<std::int64_t>(data_.size());
    if (offset_ < 0 || offset_ >= length) return 0;
    const auto count = static_cast<std::size_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(length - offset_), capacity));
    std::memcpy(destination, data_.data() + offset_, count);
    offset_ += static_cast<std::int64_t>(count);
    return count;
}

std::size_t MemoryFile::writeBytes(const char* source, std::size_t length) {
    if (offset_ < 0) return 0;
    const auto start = static_cast<std::uint64_t>(offset_);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(source);
    // The bytes land at offset .. offset+length-1; a gap before them is filled with zeros.
    if (start + length > data_.size()) data_.resize(static_cast<std::size_t>(start + length));
    std::copy(bytes, bytes + length, data_.begin() + offset_);
    offset_ += static_cast<std::int64_t>(length);
    return length;
}

std::int64_t MemoryFile::seekTo(std::int64_t offset, int origin) {
    // A refused seek leaves the position unchanged.
    const std::int64_t position =
        seekTarget(offset, origin, offset_, static_cast<std::int64_t>(data_.size()));
    if (position >= 0) offset_ = position;
    return position;
}

std::int64_t seekTarget(std::int64_t offset, int origin, std::int64_t position,
                        std::int64_t length) noexcept {
    if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END) return -1;
    const std::int64_t base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? position : length;
    std::int64_t target = 0;
    if (__builtin_add_overflow(base, offset, &target) || target < 0) return -1;
    return target;
}

}  // namespace marrowzip
