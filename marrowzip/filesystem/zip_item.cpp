#include "marrowzip/filesystem/zip_item.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/common/saturating.hpp"
#include "marrowzip/filesystem/attributes.hpp"
#include "marrowzip/filesystem/tree_walk.hpp"

namespace marrowzip {
namespace {

// Every item below `folder`, as paths relative to it, parents before their children, in byte
// order of the whole path (a parent's path is a prefix of its children's), so that the same tree
// always gives the same archive.
// Each with its description, as the walk found it.
std::vector<std::pair<std::string, std::optional<ProvidedEntry>>> deepListing(
    const FileURL& folder, const WarningHandler& warn) {
    std::vector<std::pair<std::string, std::optional<ProvidedEntry>>> items;
    walkFolderTree(folder, {.warn = warn},
                   [&](const WalkedItem& item) { items.emplace_back(item.path, item.described); });
    std::sort(items.begin(), items.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return items;
}

void appendFolderContents(Archive& archive, const FileURL& source, bool prefixFolderName,
                          CompressionMethod compressionMethod, Progress* progress,
                          const WarningHandler& warn) {
    auto listing = deepListing(source, warn);
    // The empty path stands for the folder itself, whose entry comes after all its contents.
    if (prefixFolderName) listing.emplace_back(std::string(), describeItem(source));

    const std::string folderName = source.lastPathComponent();
    const FileURL base = prefixFolderName ? source.deletingLastPathComponent() : source;
    const auto entryPathOf = [&](const std::string& relative) {
        return prefixFolderName ? folderName + "/" + relative : relative;
    };

    if (progress != nullptr) {
        std::int64_t total = 0;
        for (const auto& [relative, described] : listing)
            total = addUnits(total, described ? archivingUnitsOf(*described) : 0);
        progress->setTotalUnitCount(total);
    }
    for (const auto& [relative, described] : listing) {
        std::shared_ptr<Progress> child;
        if (progress != nullptr) {
            const std::int64_t units = described ? archivingUnitsOf(*described) : 0;
            child = progress->makeChild(units, units);
        }
        // An item that could not be described is asked again by the append, which reports it.
        const std::string entryPath = entryPathOf(relative);
        archive.appendEntry(entryPath, base.appendingPathComponent(entryPath),
                            {.compressionMethod = compressionMethod,
                             .progress = child.get(),
                             .described = described});
    }
}

}  // namespace

void zipFileSystemItem(const FileURL& source, const FileURL& destination, bool prefixFolderName,
                       CompressionMethod compressionMethod, Progress* progress,
                       const WarningHandler& warn, bool storeIfNotSmaller) {
    // "dir/." and "dir/sub/.." name a folder by the folder they stand for: an entry "./" would
    // name the extraction folder itself.
    const FileURL item = source.standardized();
    if (!isReachable(item)) throw Error(FileError::fileReadNoSuchFile, source.path());
    if (isReachable(destination)) throw Error(FileError::fileWriteFileExists, destination.path());
    Archive archive = Archive::openFile(destination, Archive::AccessMode::create);
    if (typeOfItem(item) == EntryType::directory) {
        // One central directory for the whole tree; on failure the bulk append still writes
        // the directory of the entries before the failing one.
        Archive::BulkOptions options;
        options.storeIfNotSmaller = storeIfNotSmaller;
        Archive::BulkAppend bulk = archive.beginBulkAppend(defaultChunkSize, options);
        appendFolderContents(archive, item, prefixFolderName && item.path() != "/",
                             compressionMethod, progress, warn);
        bulk.finish();
        return;
    }
    // A special file is not archived, and the warning says so. An item that cannot be asked is
    // left to the append, which reports it.
    if (const auto warning = specialFileWarning(item)) {
        if (warn) warn(*warning);
        return;
    }
    if (progress != nullptr) progress->setTotalUnitCount(archivingUnitsOf(item));
    const std::string name = item.lastPathComponent();
    archive.appendEntry(name, item.deletingLastPathComponent().appendingPathComponent(name),
                        {.compressionMethod = compressionMethod, .progress = progress});
}

}  // namespace marrowzip
