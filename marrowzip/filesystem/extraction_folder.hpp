// A folder that entries are extracted beneath, as the kernel resolves paths: every file, folder
// and link is created through a descriptor of the folder, never through a link that leads out
// of it (one that the same archive created a moment before included).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/types.hpp"

namespace marrowzip {

class Archive;
class Entry;
class Progress;

class ExtractionFolder {
public:
    // Opens the folder, creating it (and the folders above it) when missing.
    explicit ExtractionFolder(const FileURL& folder);
    ~ExtractionFolder();
    ExtractionFolder(const ExtractionFolder&) = delete;
    ExtractionFolder& operator=(const ExtractionFolder&) = delete;

    const FileURL& url() const noexcept { return url_; }

    // Extracts `entry` at `relativePath` below the folder and applies its attributes; returns
    // the CRC-32 of the delivered bytes. A path that leaves the folder (textually or through a
    // link), an absolute path, or a name with a NUL byte: FileError::fileReadInvalidFileName. A
    // link whose target leaves the folder: ArchiveError::uncontainedSymlink, unless
    // `allowLinksOutside`. An existing item at the path: FileError::fileWriteFileExists.
    std::uint32_t extract(Archive& archive, const Entry& entry, std::string_view relativePath,
                          std::int64_t bufferSize = defaultChunkSize, bool skipChecksum = false,
                          bool allowLinksOutside = false, Progress* progress = nullptr);

    // Sets the modification times of the folders extracted so far (creating files inside a
    // folder changes its time, so this runs after the last entry).
    void finishFolderTimes();

private:
    FileURL url_;
    int descriptor_ = -1;
    struct PendingFolderTimes;
    std::unique_ptr<PendingFolderTimes> pendingFolderTimes_;
};

}  // namespace marrowzip
