#include "app/commands/folder_tree_walk.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "marrowzip/common/error.hpp"
#include "marrowzip/container/archive.hpp"
#include "marrowzip/filesystem/attributes.hpp"

namespace dunmarrow {
namespace fs = std::filesystem;
using marrowzip::FileURL;

namespace {

// The item itself, not what a link points to: the walk never follows links.
bool isDirectoryItem(const FileURL& url) {
    std::error_code error;
    const auto status = fs::symlink_status(url.filesystemPath(), error);
    return !error && fs::is_directory(status);
}

// The names in one folder, hidden ones included, read in full before any child is visited.
// The folder's items by name in byte order, so that the same tree always gives the same archive.
std::vector<FileURL> listFolder(const FileURL& folder) {
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator it(folder.filesystemPath(), error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    if (error) throw marrowzip::posixFileError(error.value(), folder.path());
    std::sort(names.begin(), names.end());
    std::vector<FileURL> children;
    children.reserve(names.size());
    for (const std::string& name : names)
        children.push_back(folder.appendingPathComponent(name));
    return children;
}

}  // namespace

bool isCollectedItem(const FileURL& url) {
    const bool directory = isDirectoryItem(url);
    const bool collectedFile = url.pathExtension() == collectedExtension;
    return directory || collectedFile;
}

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

void addTreeToArchive(const FileURL& item, const std::optional<FileURL>& base,
                      marrowzip::CompressionMethod compressionMethod, marrowzip::Archive& archive,
                      const ItemFilter& filter, const marrowzip::WarningHandler& skipped) {
    if (!filter(item)) return;
    struct stat status {};
    if (::lstat(item.path().c_str(), &status) == 0) {
        if (const auto kind = marrowzip::specialFileKind(status.st_mode)) {
            if (skipped) skipped({item.path(), {}, "not archived: " + *kind});
            return;
        }
    }

    // A chosen folder is recorded under its own name: its tree is relative to its parent.
    const FileURL effectiveBase = base ? *base : item.deletingLastPathComponent();
    if (const auto path = relativePath(item, effectiveBase)) {
        archive.appendEntry(*path, marrowzip::Archive::RelativeTo{effectiveBase}, compressionMethod,
                            marrowzip::defaultChunkSize, nullptr);
    }

    if (!isDirectoryItem(item)) return;
    for (const FileURL& child : listFolder(item)) {
        addTreeToArchive(child, effectiveBase, compressionMethod, archive, filter, skipped);
    }
}

}  // namespace dunmarrow
