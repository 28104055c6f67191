// How an archive is opened, and one pass over its central directory.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "marrowzip/format/entry.hpp"

namespace marrowzip {

class ArchiveReader;

enum class AccessMode { create, read, update };

struct OpenOptions {
    // An ICU converter name used to decode names for lookup.
    std::optional<std::string> pathEncoding;
    // Whether a writer waits for another writer's lock, or fails at once.
    bool waitForOtherWriter = true;
    // Called once, before waiting for another writer.
    std::function<void()> onWaiting;
};

// One pass over the central directory. Each step seeks before it reads, so other reads of the
// archive between two steps do not disturb it.
class EntryIterator {
public:
    std::optional<Entry> next();

    // Whether the pass ended before the number of entries the end records declare (a damaged
    // record, or an encrypted entry).
    bool endedEarly() const noexcept { return endedEarly_; }
    bool stoppedAtEncryptedEntry() const noexcept { return stoppedAtEncryptedEntry_; }

private:
    friend class ArchiveReader;
    EntryIterator(const ArchiveReader& reader, std::uint64_t count, std::uint64_t offset)
        : reader_(&reader), count_(count), recordOffset_(offset) {}

    // Local headers lie before the central directory and do not overlap in a sound archive, so
    // together they never hold more bytes than that. Central records that all point at one
    // large local header would otherwise make a pass read it again for every record.
    static constexpr std::uint64_t localHeaderSlack = 1 << 20;
    std::uint64_t localHeaderBytesRead_ = 0;

    const ArchiveReader* reader_;
    std::uint64_t count_;
    std::uint64_t recordOffset_;
    std::uint64_t index_ = 0;
    bool endedEarly_ = false;
    bool stoppedAtEncryptedEntry_ = false;
};

}  // namespace marrowzip
