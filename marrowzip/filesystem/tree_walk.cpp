#include "marrowzip/filesystem/tree_walk.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "marrowzip/common/error.hpp"

namespace marrowzip {
namespace {

namespace fs = std::filesystem;

bool isSpecial(fs::file_type type) {
    return type == fs::file_type::socket || type == fs::file_type::fifo ||
           type == fs::file_type::block || type == fs::file_type::character;
}

// The names of one folder with their types as the listing gives them (no look-up per item),
// read in full before any child is visited, by name in byte order.
std::vector<std::pair<std::string, fs::file_type>> listFolder(const FileURL& folder,
                                                              bool passOverFailure) {
    std::vector<std::pair<std::string, fs::file_type>> items;
    std::error_code error;
    fs::directory_iterator it(folder.filesystemPath(), error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        std::error_code typeError;
        const fs::file_type type = it->symlink_status(typeError).type();
        items.emplace_back(it->path().filename().string(),
                           typeError ? fs::file_type::unknown : type);
    }
    if (error && !passOverFailure) throw posixFileError(error.value(), folder.path());
    std::sort(items.begin(), items.end());
    return items;
}

void walkBelow(const FileURL& folder, const std::string& folderPath, const TreeWalkOptions& options,
               const std::function<void(const WalkedItem&)>& visit) {
    for (auto& [name, type] : listFolder(folder, options.passOverUnlistableFolders)) {
        std::string path = folderPath;
        if (!path.empty()) path += '/';
        path += name;
        const WalkedItem item{folder.appendingPathComponent(name), std::move(path), type};
        if (options.filter && !options.filter(item)) continue;
        if (isSpecial(type)) {
            if (options.warn) {
                if (auto warning = specialFileWarning(item.url)) options.warn(*warning);
            }
            continue;
        }
        visit(item);
        if (type == fs::file_type::directory) walkBelow(item.url, item.path, options, visit);
    }
}

}  // namespace

void walkFolderTree(const FileURL& folder, const TreeWalkOptions& options,
                    const std::function<void(const WalkedItem&)>& visit) {
    walkBelow(folder, {}, options, visit);
}

std::optional<Warning> specialFileWarning(const FileURL& item) {
    struct stat status {};
    if (::lstat(item.path().c_str(), &status) != 0) return std::nullopt;
    const mode_t mode = status.st_mode;
    const char* kind = S_ISSOCK(mode)                   ? "a socket"
                       : S_ISFIFO(mode)                 ? "a named pipe"
                       : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
                                                        : nullptr;
    if (kind == nullptr) return std::nullopt;
    return Warning{item.path(), {}, std::string("not archived: ") + kind};
}

std::int64_t archivingUnitsOf(const FileURL& item) {
    struct stat status {};
    if (!item.isFileURL() || ::lstat(item.path().c_str(), &status) != 0) return 0;
    return S_ISDIR(status.st_mode) ? 1 : static_cast<std::int64_t>(status.st_size);
}

}  // namespace marrowzip
