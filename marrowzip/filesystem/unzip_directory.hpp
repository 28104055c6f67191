// Extracting a whole archive into a folder, with every item kept beneath that folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "marrowzip/common/file_url.hpp"
#include "marrowzip/filesystem/extraction_pass.hpp"

namespace marrowzip {

class Archive;
class Progress;

// The whole-archive extraction takes the options of the one extraction pass.
using UnzipOptions = ExtractOptions;

// Extracts every entry (that the filter chooses) in central-directory order into
// `destination`, as extractEntries does; `progress` (when given) is the parent of one child per
// entry, unless the options bring their own. Entries whose path leaves `destination`
// (textually, or through links on the real file system) are refused with
// FileError::fileReadInvalidFileName; links whose target leaves it with
// ArchiveError::uncontainedSymlink unless `allowLinksOutside`; a CRC-32 mismatch is
// ArchiveError::invalidCRC32. The first failing entry (or a cancellation) ends the extraction,
// unless an onEntryError handler takes it.
ExtractResult unzipArchiveToDirectory(const FileURL& source, const FileURL& destination,
                                      const ExtractOptions& options, Progress* progress = nullptr);
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
