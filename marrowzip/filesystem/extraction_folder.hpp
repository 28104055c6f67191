// A folder that entries are extracted beneath, as the kernel resolves paths: every file, folder
// and link is created through a descriptor of the folder, never through a link that leads out
// of it (one that the same archive created a moment before included).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/types.hpp"
#include "marrowzip/filesystem/attributes.hpp"
#include "marrowzip/filesystem/beneath.hpp"

namespace marrowzip {

class Entry;

// What one extraction created below the folder, in the order it was made: the folders on the
// way to an entry and the entry's own item.
using CreatedItems = std::vector<CreatedItem>;

// A folder entry's attributes, which wait until nothing more is created in the folder
// (ExtractionFolder::finishFolderTimes).
struct FolderToFinish {
    std::vector<std::string> components;
    FileAttributes attributes;
    std::string displayPath;
    // The folder that was made or found: a folder put at its path since is left alone.
    dev_t device = 0;
    ino_t inode = 0;
};

class ExtractionFolder {
public:
    // Opens the folder, creating it (and the folders above it) when missing. Set-user-ID,
    // set-group-ID and sticky bits of the entries are dropped unless `keepSpecialBits`; items
    // already at an entry's path are treated as `existing` says.
    explicit ExtractionFolder(const FileURL& folder, bool keepSpecialBits = false,
                              ExistingItems existing = ExistingItems::refuse);
    ~ExtractionFolder();
    ExtractionFolder(const ExtractionFolder&) = delete;
    ExtractionFolder& operator=(const ExtractionFolder&) = delete;

    const FileURL& url() const noexcept { return url_; }

    // Extracts `entry` at `relativePath` below the folder and applies its attributes; returns
    // the CRC-32 of the delivered bytes. A path that leaves the folder (textually or through a
    // link), an absolute path, a name with a NUL byte or one that did not decode (empty):
    // FileError::fileReadInvalidFileName. A folder entry that names the folder itself ("./")
    // changes nothing of it; a file or link there is refused the same way. A link whose target
    // leaves the folder: ArchiveError::uncontainedSymlink, unless `options.allowLinksOutside`. An
    // existing item at the path: as the folder's ExistingItems says (FileError::fileWriteFileExists
    // when refused; an empty result when skipped). `created` receives what was made below the
    // folder: the folders on the way and the entry's own item. A folder entry's attributes go
    // to `*finish` when given, for the caller to hand to finishLater() once the entry counts
    // (several threads may extract at once; the folders are finished in the order they were
    // handed over); without it they wait here at once.
    std::optional<std::uint32_t> extract(Archive& archive, const Entry& entry,
                                         std::string_view relativePath,
                                         const ExtractEntryOptions& options = {},
                                         CreatedItems* created = nullptr,
                                         std::optional<FolderToFinish>* finish = nullptr);

    // Removes again what extractions created, each item only while its path still holds it,
    // and a folder only once it is empty. Failures are ignored: what cannot be removed stays.
    // A folder waiting for its attributes stays too: an entry that counts stands for it, even
    // when a later entry made it first.
    void removeCreated(CreatedItems items) noexcept;

    // A folder entry's attributes, from extract(), to be applied by finishFolderTimes().
    void finishLater(FolderToFinish folder);

    // Sets the modification times of the folders extracted so far (creating files inside a
    // folder changes its time, so this runs after the last entry).
    void finishFolderTimes();

private:
    FileAttributes attributesFor(const Entry& entry) const;
    // The folder at `components` below this one, made when missing: the descriptor of the last
    // folder opened is kept, and entries under the same folder share it (a deep path is not
    // walked again, nor the descriptor copied, for each of them).
    std::shared_ptr<const UniqueFd> openFolder(std::span<const std::string> components,
                                               const std::string& displayPath,
                                               CreatedItems* created);
    void rememberFolder(std::span<const std::string> components,
                        std::shared_ptr<const UniqueFd> folder);

    FileURL url_;
    TextualContainment containment_;  // of url_, for the textual check of every path
    UniqueFd descriptor_;
    bool keepSpecialBits_ = false;
    ExistingItems existing_ = ExistingItems::refuse;
    struct PendingFolderTimes;
    std::unique_ptr<PendingFolderTimes> pendingFolderTimes_;
    struct LastFolder;
    std::unique_ptr<LastFolder> lastFolder_;
};

}  // namespace marrowzip
