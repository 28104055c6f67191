// One checked pass over the entries of an archive: the whole-archive extraction, the test of an
// archive and the copy of chosen entries to a stream all run through it, so that every rule of
// reading an archive from a stranger (the path check, creation beneath the folder, the claims
// against overlapping records, the CRC-32 check, the early end of the central directory) holds
// in one place.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "marrowzip/common/error.hpp"
#include "marrowzip/common/types.hpp"
#include "marrowzip/common/warning.hpp"
#include "marrowzip/processing/memory_budget.hpp"

namespace marrowzip {

class Archive;
class Entry;
class EntryIterator;
class ExtractionFolder;
class Progress;

struct ExtractOptions {
    bool verifyChecksum = true;      // compare each entry's CRC-32 with the one it records
    bool allowLinksOutside = false;  // links may point outside the destination
    bool keepSpecialBits = false;    // keep set-user-ID, set-group-ID and sticky bits
    ExistingItems existing = ExistingItems::refuse;
    std::optional<std::string> pathEncoding = std::nullopt;  // absent: each entry's own rule
    // Which entries are read (every one when empty). Called on the caller's thread, once per
    // entry in archive order, with the entry's decoded path. Here and in `progress` the entry
    // is what its central record says: its local records are read later, by the thread that
    // reads the entry (and those of entries passed over are never read).
    std::function<bool(const Entry&, const std::string& path)> filter = {};
    // A failed entry: with a handler, it is told (on the caller's thread, in archive order) and
    // the pass goes on; a handler that throws ends the pass with that error. Without one the
    // first failure ends the pass.
    std::function<void(const Entry&, const std::string& path, const Error&)> onEntryError = {};
    // The progress of an entry about to be read: its bytes (1 for a folder) are counted in what
    // this returns, which must outlive the pass; cancelling it stops the pass. Called on the
    // caller's thread in archive order. Empty: no progress, no cancellation.
    std::function<Progress*(const Entry&, const std::string& path, std::int64_t units)> progress =
        {};
    unsigned workers = 0;  // threads for files and folders: 0 one per core, 1 none
    std::uint64_t memoryBudget = defaultMemoryBudget;  // shared by the workers
    WarningHandler warn = {};  // what was set aside (the data of a folder entry)
};

// Where the entries' data goes. With a folder, every entry becomes an item beneath it; with a
// consumer, the bytes of each file entry are handed to it in archive order (folders and links
// give none); with neither, the data is read, inflated and checked, then dropped: a test.
struct ExtractTarget {
    ExtractionFolder* folder = nullptr;
    std::function<void(const Entry&, ByteView)> consumer = {};
};

struct ExtractResult {
    std::uint64_t extracted = 0;  // entries read whole and checked
    std::uint64_t failed = 0;     // entries handed to onEntryError
    std::uint64_t skipped = 0;    // entries passed over for an item already there
    bool cancelled = false;       // with onEntryError: the pass stopped at a cancellation
    // With onEntryError: why the central directory ended before the count its end records
    // declare, once the entries before the damage were read.
    std::optional<Error> endedEarly = std::nullopt;
};

// Reads the entries of `archive` in central-directory order into `target`. An entry sharing
// bytes with one read before is ArchiveError::invalidLocalHeaderDataOffset, a CRC-32 mismatch
// ArchiveError::invalidCRC32 (unless !verifyChecksum), a path that leaves the folder
// FileError::fileReadInvalidFileName, and so on, as an entry's failure; a central directory
// that ends before the count its end records declare fails the pass once the entries before
// the damage are done. A cancellation ends the pass. With onEntryError the result says so of
// both, without it they are thrown (ArchiveError::invalidCentralDirectoryEntryCount,
// ArchiveError::cancelledOperation). Whatever the workers, what a failed or
// cancelled pass leaves is what a run on one thread leaves: the entries before the one that
// ended it, nothing of later ones, and no partly written file.
ExtractResult extractEntries(Archive& archive, const ExtractTarget& target,
                             const ExtractOptions& options);

// One child of `parent` per entry, for ExtractOptions::progress.
std::function<Progress*(const Entry&, const std::string&, std::int64_t)> childProgressOf(
    Progress& parent);

}  // namespace marrowzip
