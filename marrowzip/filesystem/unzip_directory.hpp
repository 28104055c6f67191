// Extracting a whole archive into a folder, with every item kept beneath that folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/warning.hpp"
#include "marrowzip/processing/memory_budget.hpp"

namespace marrowzip {

class Archive;
class Progress;

struct UnzipOptions {
    bool skipChecksum = false;       // no CRC-32 is computed or compared
    bool allowLinksOutside = false;  // links may point outside the destination
    bool keepSpecialBits = false;    // keep set-user-ID, set-group-ID and sticky bits
    std::optional<std::string> pathEncoding = std::nullopt;  // absent: each entry's own rule
    unsigned workers = 0;                              // threads for files: 0 one per core, 1 none
    std::uint64_t memoryBudget = defaultMemoryBudget;  // shared by the workers
    WarningHandler warn = {};  // what was set aside (the data of a folder entry)
};

// Extracts every entry in central-directory order. Entries whose path leaves `destination`
// (textually, or through links on the real file system) are refused with
// FileError::fileReadInvalidFileName; links whose target leaves it with
// ArchiveError::uncontainedSymlink unless `allowLinksOutside`; a CRC-32 mismatch is
// ArchiveError::invalidCRC32 (unless `skipChecksum`). Never overwrites. The first failing
// entry (or a cancellation) ends the extraction, and what stays is what a run on one thread
// leaves: the entries before it and what it wrote of that entry, nothing of later ones.
void unzipArchiveToDirectory(const FileURL& source, const FileURL& destination,
                             const UnzipOptions& options, Progress* progress = nullptr);
void unzipArchiveToDirectory(const FileURL& source, const FileURL& destination,
                             bool skipChecksum = false, bool allowLinksOutside = false,
                             Progress* progress = nullptr,
                             const std::optional<std::string>& pathEncoding = std::nullopt);

// The textual containment test: `candidate` (with "//" folded, dot segments resolved) begins
// with `base` as a directory.
bool liesWithin(const FileURL& candidate, const FileURL& base);

// 1 per folder entry plus the uncompressed size of every other entry.
std::int64_t readingUnitCount(const Archive& archive);

}  // namespace marrowzip
