// Types shared by every subsystem of the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace marrowzip {

// A growable byte buffer, and a read-only view onto bytes owned elsewhere.
using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline void appendBytes(Bytes& to, ByteView bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

// The chunk size that every caller passes when appending and extracting, and the stdio
// buffer size of a file-backed archive stream.
inline constexpr std::int64_t defaultChunkSize = 16384;

// Permissions of an appended entry when none are given.
inline constexpr std::uint16_t defaultFileMode = 0644;
inline constexpr std::uint16_t defaultDirectoryMode = 0755;

// What an extraction does where an item already stands at an entry's path.
enum class ExistingItems {
    refuse,     // FileError::fileWriteFileExists for the entry; the item stays
    skip,       // the entry is passed over; the item stays
    overwrite,  // a file or link is replaced in one step (never written through); a folder stays
};

enum class CompressionMethod : std::uint16_t { none = 0, deflate = 8 };

// How hard deflate works: 1 is the fastest, 9 the smallest; 6 is the default, as in other tools.
inline constexpr int fastestCompressionLevel = 1;
inline constexpr int smallestCompressionLevel = 9;
inline constexpr int defaultCompressionLevel = 6;

// Any raw value other than 0 and 8 names no method.
std::optional<CompressionMethod> compressionMethodFromRaw(std::uint16_t raw);

// A point in time: seconds since 1970-01-01T00:00:00 UTC, with a fractional part.
using Date = double;

// A point in time to the nanosecond, as file systems keep modification times: whole seconds
// since 1970-01-01T00:00:00 UTC, rounded down, and the nanoseconds into that second
// (0 to 999,999,999).
struct Timestamp {
    std::int64_t seconds = 0;
    std::int32_t nanoseconds = 0;

    friend bool operator==(const Timestamp&, const Timestamp&) = default;
};

// Delivers the bytes of an entry: (position within the data, number of bytes wanted) → bytes.
// It may deliver fewer bytes at the end, and may throw.
using EntryDataProvider = std::function<Bytes(std::int64_t position, std::int64_t size)>;

// Receives the bytes of an entry chunk by chunk. The view is valid only during the call.
using EntryDataConsumer = std::function<void(ByteView chunk)>;

}  // namespace marrowzip
