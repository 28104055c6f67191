#include "app/commands/folder_tree_walk.hpp"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

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

JobTotals countCollectedTree(const FileURL& folder, const JobProgress* progress) {
    JobTotals work;
    if (!isCollectedItem(folder)) return work;
    const bool directory = isDirectoryItem(folder);
    work.units = marrowzip::archivingUnitsOf(folder);
    work.files = directory ? 0 : 1;
    if (!directory) return work;
    const marrowzip::TreeWalkOptions options{.filter =
                                                 [&](const WalkedItem& item) {
                                                     if (progress != nullptr)
                                                         progress->throwIfCancelled();
                                                     return isCollected(item);
                                                 },
                                             .passOverUnlistableFolders = true};
    marrowzip::walkFolderTree(folder, options, [&](const WalkedItem& item) {
        if (item.type != fs::file_type::directory) work.files += 1;
        work.units = marrowzip::addUnits(work.units, marrowzip::archivingUnitsOf(item.url));
    });
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
    const auto append = [&](const FileURL& item, bool isFile) {
        const auto path = relativePath(item, base);
        if (!path) return;
        marrowzip::Progress* itemProgress = nullptr;
        if (progress != nullptr) {
            progress->throwIfCancelled();
            itemProgress = progress->beginItem(item.path(), marrowzip::archivingUnitsOf(item),
                                               isFile, /*cancellable=*/true);
        }
        archive.appendEntry(*path, marrowzip::Archive::RelativeTo{base},
                            {.compressionMethod = compressionMethod, .progress = itemProgress});
    };
    const bool directory = isDirectoryItem(folder);
    append(folder, !directory);
    if (!directory) return;
    marrowzip::walkFolderTree(
        folder, {.filter = isCollected, .warn = skipped},
        [&](const WalkedItem& item) { append(item.url, item.type != fs::file_type::directory); });
}

}  // namespace dunmarrow
