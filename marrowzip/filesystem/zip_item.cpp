#include "marrowzip/filesystem/zip_item.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
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
std::vector<std::string> deepListing(const FileURL& folder, const WarningHandler& warn) {
    std::vector<std::string> paths;
    walkFolderTree(folder, {.warn = warn},
                   [&](const WalkedItem& item) { paths.push_back(item.path); });
    std::sort(paths.begin(), paths.end());
    return paths;
}

void appendFolderContents(Archive& archive, const FileURL& source, bool prefixFolderName,
                          CompressionMethod compressionMethod, Progress* progress,
                          const WarningHandler& warn) {
    std::vector<std::string> listing = deepListing(source, warn);
    // The empty path stands for the folder itself, whose entry comes after all its contents.
    if (prefixFolderName) listing.emplace_back();

    const std::string folderName = source.lastPathComponent();
    const FileURL base = prefixFolderName ? source.deletingLastPathComponent() : source;
    const auto entryPathOf = [&](const std::string& relative) {
        return prefixFolderName ? folderName + "/" + relative : relative;
    };

    std::vector<FileURL> items;
    items.reserve(listing.size());
    for (const auto& relative : listing)
        items.push_back(base.appendingPathComponent(entryPathOf(relative)));
    const std::vector<std::optional<ProvidedEntry>> described = describeItems(items);
    if (progress != nullptr) {
        std::int64_t total = 0;
        for (const auto& item : described)
            total = addUnits(total, item ? archivingUnitsOf(*item) : 0);
        progress->setTotalUnitCount(total);
    }
    for (std::size_t i = 0; i < listing.size(); ++i) {
        std::shared_ptr<Progress> child;
        if (progress != nullptr) {
            const std::int64_t units = described[i] ? archivingUnitsOf(*described[i]) : 0;
            child = progress->makeChild(units, units);
        }
        // An item that could not be described is asked again by the append, which reports it.
        archive.appendEntry(entryPathOf(listing[i]), items[i],
                            {.compressionMethod = compressionMethod,
                             .progress = child.get(),
                             .described = described[i]});
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
