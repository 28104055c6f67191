#include "app/commands/folder_tree_walk.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/error.hpp"
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

void walkCollectedTree(const FileURL& item, const std::optional<FileURL>& base,
                       const ItemFilter& filter, const ItemVisitor& visit,
                       const marrowzip::WarningHandler& skipped) {
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
    if (const auto path = relativePath(item, effectiveBase)) visit(item, effectiveBase, *path);

    if (!isDirectoryItem(item)) return;
    for (const FileURL& child : listFolder(item)) {
        walkCollectedTree(child, effectiveBase, filter, visit, skipped);
    }
}

ItemWork itemWork(const FileURL& item) {
    std::error_code error;
    const auto status = fs::symlink_status(item.filesystemPath(), error);
    if (error) return {};
    if (fs::is_directory(status)) return {1, false};
    if (fs::is_symlink(status)) {
        const auto target = fs::read_symlink(item.filesystemPath(), error);
        return {error ? 0 : static_cast<std::int64_t>(target.native().size()), true};
    }
    const auto size = fs::file_size(item.filesystemPath(), error);
    return {error ? 0 : static_cast<std::int64_t>(size), true};
}

namespace {

// The extension test of isCollectedItem on a bare name: the text after the last dot, when the
// dot does not begin the name.
bool hasCollectedExtension(const std::string& name) {
    const auto dot = name.rfind('.');
    return dot != std::string::npos && dot != 0 &&
           std::string_view(name).substr(dot + 1) == collectedExtension;
}

// The counting walk reads each folder once and takes the items' types from the listing, so
// that only kept files cost a look-up (their size).
void countFolder(const fs::path& folder, const JobProgress* progress, TreeWork& work) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (progress != nullptr) progress->throwIfCancelled();
        const fs::file_status status = it->symlink_status(error);
        if (error) break;
        if (fs::is_directory(status)) {
            work.units += 1;
            countFolder(it->path(), progress, work);
        } else if ((fs::is_regular_file(status) || fs::is_symlink(status)) &&
                   hasCollectedExtension(it->path().filename().string())) {
            work.files += 1;
            const auto size = fs::is_symlink(status)
                                  ? fs::read_symlink(it->path(), error).native().size()
                                  : it->file_size(error);
            if (!error) work.units += static_cast<std::int64_t>(size);
            error.clear();
        }
    }
}

}  // namespace

TreeWork countCollectedTree(const FileURL& folder, const JobProgress* progress) {
    TreeWork work;
    if (!isCollectedItem(folder)) return work;
    const ItemWork top = itemWork(folder);
    work.units += top.units;
    work.files += top.isFile ? 1 : 0;
    if (isDirectoryItem(folder)) countFolder(folder.filesystemPath(), progress, work);
    return work;
}

void addTreeToArchive(const FileURL& item, const std::optional<FileURL>& base,
                      marrowzip::CompressionMethod compressionMethod, marrowzip::Archive& archive,
                      const ItemFilter& filter, JobProgress* progress,
                      const marrowzip::WarningHandler& skipped) {
    walkCollectedTree(
        item, base, filter,
        [&](const FileURL& found, const FileURL& effectiveBase, const std::string& path) {
            marrowzip::Progress* itemProgress = nullptr;
            if (progress != nullptr) {
                progress->throwIfCancelled();
                const ItemWork work = itemWork(found);
                itemProgress = progress->beginItem(found.path(), work.units, work.isFile,
                                                   /*cancellable=*/true);
            }
            archive.appendEntry(path, marrowzip::Archive::RelativeTo{effectiveBase},
                                compressionMethod, marrowzip::defaultChunkSize, itemProgress);
        },
        skipped);
}

}  // namespace dunmarrow
