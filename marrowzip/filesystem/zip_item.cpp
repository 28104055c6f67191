#include "marrowzip/filesystem/zip_item.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/attributes.hpp"

namespace marrowzip {
namespace {

constexpr std::int64_t largestUnitCount = std::numeric_limits<std::int64_t>::max();

// 1 for a folder, else the item's size (a link's: its target's length); -1 when the item
// cannot be asked (not reported). One lstat(2): this runs once for every item of the tree.
std::int64_t unitCountOf(const FileURL& item) {
    struct stat status {};
    if (!item.isFileURL() || ::lstat(item.path().c_str(), &status) != 0) return -1;
    return S_ISDIR(status.st_mode) ? 1 : static_cast<std::int64_t>(status.st_size);
}

// Whether the item is archived; a special file is not, and the warning says so. An item that
// cannot be asked is left to the append, which reports it.
bool isArchivable(const FileURL& item, const WarningHandler& warn) {
    struct stat status {};
    if (::lstat(item.path().c_str(), &status) != 0) return true;
    const auto kind = specialFileKind(status.st_mode);
    if (!kind) return true;
    if (warn) warn({item.path(), {}, "not archived: " + *kind});
    return false;
}

std::int64_t addUnits(std::int64_t total, std::int64_t units) {
    if (units > 0 && total > largestUnitCount - units) return largestUnitCount;
    return total + units;
}

// Every item below `folder`, as paths relative to it, parents before their children, in byte
// order (a parent's path is a prefix of its children's), so that the same tree always gives the
// same archive. Links are listed as links and never followed, so a link to a folder brings
// nothing of that folder.
std::vector<std::string> deepListing(const FileURL& folder) {
    namespace fs = std::filesystem;
    std::vector<std::string> paths;
    std::error_code error;
    fs::recursive_directory_iterator items(folder.filesystemPath(), fs::directory_options::none,
                                           error);
    for (; !error && items != fs::recursive_directory_iterator(); items.increment(error)) {
        paths.push_back(items->path().lexically_relative(folder.filesystemPath()).generic_string());
    }
    if (error) throw Error(error, folder.path());
    std::sort(paths.begin(), paths.end());
    return paths;
}

void appendFolderContents(Archive& archive, const FileURL& source, bool prefixFolderName,
                          CompressionMethod compressionMethod, Progress* progress,
                          const WarningHandler& warn) {
    std::vector<std::string> listing = deepListing(source);
    std::erase_if(listing, [&](const std::string& relative) {
        return !isArchivable(source.appendingPathComponent(relative), warn);
    });
    // The empty path stands for the folder itself, whose entry comes after all its contents.
    if (prefixFolderName) listing.emplace_back();

    const std::string folderName = source.lastPathComponent();
    const FileURL base = prefixFolderName ? source.deletingLastPathComponent() : source;
    const auto entryPathOf = [&](const std::string& relative) {
        return prefixFolderName ? folderName + "/" + relative : relative;
    };

    std::vector<std::int64_t> units;
    if (progress != nullptr) {
        std::int64_t total = 0;
        for (const auto& relative : listing) {
            units.push_back(unitCountOf(source.appendingPathComponent(relative)));
            total = addUnits(total, units.back());
        }
        progress->setTotalUnitCount(total);
    }
    for (std::size_t i = 0; i < listing.size(); ++i) {
        const std::string entryPath = entryPathOf(listing[i]);
        std::shared_ptr<Progress> child;
        if (progress != nullptr) child = progress->makeChild(units[i], units[i]);
        archive.appendEntry(entryPath, base.appendingPathComponent(entryPath), compressionMethod,
                            defaultChunkSize, child.get());
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
    if (!isArchivable(item, warn)) return;
    if (progress != nullptr) progress->setTotalUnitCount(unitCountOf(item));
    const std::string name = item.lastPathComponent();
    archive.appendEntry(name, item.deletingLastPathComponent().appendingPathComponent(name),
                        compressionMethod, defaultChunkSize, progress);
}

}  // namespace marrowzip
