// How an archive is opened, and one pass over its central directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "marrowzip/common/error.hpp"
#include "marrowzip/format/entry.hpp"

namespace marrowzip {

class ArchiveReader;
class PositionalWindow;

// A file archive opened with `update` or `create` holds an exclusive advisory lock (flock) on
// the file while it is open: a second writer waits for it (see OpenOptions). Opening first
// rolls back an update that a killed process left unfinished (its journal beside the archive).
// A new archive appears under its name complete, never half-written. A `read` archive takes no
// lock once open; while another process is updating the file, it reads the archive as it was
// before that update began.
enum class AccessMode { create, read, update };

struct OpenOptions {
    // An ICU converter name used to decode names for lookup.
    std::optional<std::string> pathEncoding;
    // Whether a writer waits for another writer's lock, or fails at once.
    bool waitForOtherWriter = true;
    // Called once, before waiting for another writer.
    std::function<void()> onWaiting = {};
};

// One pass over the central directory. The records are read at their positions through two
// windows (the central directory's and the local headers'), so other reads of the archive
// between two steps do not disturb the pass, and a pass over many small entries takes a few
// reads instead of several system calls an entry.
class EntryIterator {
public:
    std::optional<Entry> next();
    // The same into `entry`, whose buffers are reused: a pass that keeps no entry allocates
    // nothing for each one. False where next() gives none; `entry` is then unspecified.
    bool next(Entry& entry);

    // Whether the pass ended before the number of entries the end records declare (a damaged
    // record, or an encrypted entry).
    bool endedEarly() const noexcept { return endedEarly_; }
    bool stoppedAtEncryptedEntry() const noexcept { return stoppedAtEncryptedEntry_; }
    // The error every front end reports for a pass that ended early, naming `archivePath`:
    // ArchiveError::encryptedEntry (with the entry's number and path, and how many entries
    // before it are readable) or ArchiveError::invalidCentralDirectoryEntryCount.
    Error earlyEndError(const std::string& archivePath) const;

    // From now on next() reads the central records alone: the caller reads each entry's local
    // records and bounds what their headers cost (read/archive_reader.hpp).
    void leaveLocalRecords() noexcept { localRecords_ = false; }
    // The central records read so far.
    std::uint64_t entriesRead() const noexcept { return index_; }
    // Ends the pass before the entry at `index` (from 0), whose local records the caller could
    // not read, as next() ends it at a damaged record.
    void endBefore(std::uint64_t index) noexcept;

    EntryIterator(EntryIterator&&) noexcept;
    EntryIterator& operator=(EntryIterator&&) noexcept;
    EntryIterator(const EntryIterator&) = delete;
    EntryIterator& operator=(const EntryIterator&) = delete;
    ~EntryIterator();

private:
    friend class ArchiveReader;
    // A pass over the entry count the end records declare, from the record at `offset`.
    EntryIterator(const ArchiveReader& reader, std::uint64_t offset);

    const ArchiveReader* reader_;
    // The windows over the central directory and over the local headers.
    std::unique_ptr<PositionalWindow> centralRecords_;
    std::unique_ptr<PositionalWindow> localHeaders_;
    std::uint64_t count_;
    std::uint64_t recordOffset_;
    std::uint64_t index_ = 0;
    std::uint64_t localHeaderBytesLeft_;
    bool localRecords_ = true;
    bool endedEarly_ = false;
    bool stoppedAtEncryptedEntry_ = false;
    std::string encryptedEntryPath_;
};

// An input iterator over one pass, for range-for.
class EntryInputIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using pointer = const Entry*;
    using reference = const Entry&;

    EntryInputIterator() = default;
    explicit EntryInputIterator(EntryIterator source);
    const Entry& operator*() const { return *current_; }
    const Entry* operator->() const { return &*current_; }
    EntryInputIterator& operator++();
    void operator++(int) { ++*this; }
    friend bool operator==(const EntryInputIterator& a, const EntryInputIterator& b) {
        return a.current_.has_value() == b.current_.has_value();
    }

private:
    std::optional<EntryIterator> source_;
    std::optional<Entry> current_;
};

}  // namespace marrowzip
