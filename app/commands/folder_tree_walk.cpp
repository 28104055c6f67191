#include "app/commands/folder_tree_walk.hpp"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/saturating.hpp"
#include "marrowzip/filesystem/tree_walk.hpp"

namespace dunmarrow {
namespace fs = std::filesystem;
using marrowzip::FileURL;
using marrowzip::WalkedItem;

namespace {

// The item itself, not what a link points to: the walk never follows links.
bool isDirectoryItem(const FileURL& url) {
    std::error_code error;
    const auto status = fs::symlink_status(url.filesystemPath(), error);
    return !error && fs::is_directory(status);
}

// The type comes from the listing: no look-up per item.
bool isCollected(const WalkedItem& item) {
    return item.type == fs::file_type::directory || item.url.pathExtension() == collectedExtension;
}

// The path of `item` below `base`, its components joined with "/" (empty when both are the
// same folder); the item's whole standardized path when it does not lie below `base`; absent
// when either is not a file URL.
std::optional<std::string> relativePath(const FileURL& item, const FileURL& base) {
    if (!item.isFileURL() || !base.isFileURL()) return std::nullopt;
    const FileURL standardItem = item.standardized();
    const auto itemComponents = standardItem.pathComponents();
    const auto baseComponents = base.standardized().pathComponents();

    const bool below =
        itemComponents.size() >= baseComponents.size() &&
        std::equal(baseComponents.begin(), baseComponents.end(), itemComponents.begin());
    if (!below) return standardItem.path();

    std::string path;
    for (auto it = itemComponents.begin() + static_cast<std::ptrdiff_t>(baseComponents.size());
         it != itemComponents.end(); ++it) {
        if (!path.empty()) path += '/';
        path += *it;
    }
    return path;
}

}  // namespace

bool isCollectedItem(const FileURL& url) {
    return isDirectoryItem(url) || url.pathExtension() == collectedExtension;
}

namespace {

// The folder's collected items, parents before children, each with its description (type,
// size, date and mode) as the walk found it: the append takes it instead of asking again.
struct CollectedItem {
    FileURL url;
    bool isFile = false;
    std::optional<marrowzip::ProvidedEntry> described;
};

std::vector<CollectedItem> collectTree(const FileURL& folder,
                                       const marrowzip::TreeWalkOptions& options) {
    std::vector<CollectedItem> items;
    items.push_back({folder, !isDirectoryItem(folder), marrowzip::describeItem(folder)});
    if (!items.front().isFile) {
        marrowzip::walkFolderTree(folder, options, [&](const WalkedItem& item) {
            items.push_back({item.url, item.type != fs::file_type::directory, item.described});
        });
    }
    return items;
}

// The walk of the collected items, which stops when `progress` is cancelled.
marrowzip::TreeWalkOptions collectingWalk(const JobProgress* progress) {
    return {.filter = [progress](const WalkedItem& item) {
        if (progress != nullptr) progress->throwIfCancelled();
        return isCollected(item);
    }};
}

std::int64_t unitsOf(const CollectedItem& item) {
    return item.described ? marrowzip::archivingUnitsOf(*item.described) : 0;
}

}  // namespace

JobTotals countCollectedTree(const FileURL& folder, const JobProgress* progress) {
    JobTotals work;
    if (!isCollectedItem(folder)) return work;
    marrowzip::TreeWalkOptions options = collectingWalk(progress);
    options.passOverUnlistableFolders = true;
    const std::vector<CollectedItem> items = collectTree(folder, options);
    for (const CollectedItem& item : items) {
        if (item.isFile) work.files += 1;
        work.units = marrowzip::addUnits(work.units, unitsOf(item));
    }
    return work;
}

void addTreeToArchive(const FileURL& folder, marrowzip::CompressionMethod compressionMethod,
                      marrowzip::Archive& archive, JobProgress* progress,
                      const marrowzip::WarningHandler& skipped) {
    if (!isCollectedItem(folder)) return;
    if (const auto warning = marrowzip::specialFileWarning(folder)) {
        if (skipped) skipped(*warning);
        return;
    }
    // A chosen folder is recorded under its own name: its tree is relative to its parent.
    const FileURL base = folder.deletingLastPathComponent();
    marrowzip::TreeWalkOptions options = collectingWalk(progress);
    options.warn = skipped;
    for (const CollectedItem& item : collectTree(folder, options)) {
        const auto path = relativePath(item.url, base);
        if (!path) continue;
        marrowzip::Progress* itemProgress = nullptr;
        if (progress != nullptr) {
            progress->throwIfCancelled();
            itemProgress = progress->beginItem(item.url.path(), unitsOf(item), item.isFile,
                                               /*cancellable=*/true);
        }
        // An item that could not be described is asked again by the append, which reports it.
        archive.appendEntry(*path, marrowzip::Archive::RelativeTo{base},
                            {.compressionMethod = compressionMethod,
                             .progress = itemProgress,
                             .described = item.described});
    }
}

}  // namespace dunmarrow
