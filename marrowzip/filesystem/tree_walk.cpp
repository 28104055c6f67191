#include "marrowzip/filesystem/tree_walk.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "marrowzip/common/error.hpp"
#include "marrowzip/filesystem/attributes.hpp"

namespace marrowzip {
namespace {

namespace fs = std::filesystem;

bool isSpecial(fs::file_type type) {
    return type == fs::file_type::socket || type == fs::file_type::fifo ||
           type == fs::file_type::block || type == fs::file_type::character;
}

// An item's own type (a link is a link) as the listing gives it, or from lstat(2) where the file
// system leaves it out: a look-up per item would cost as much as the rest of the walk.
fs::file_type typeOf(const dirent& item, const FileURL& folder) {
    unsigned char kind = item.d_type;
    if (kind == DT_UNKNOWN) {
        struct stat status {};
        const std::string path = folder.appendingPathComponent(item.d_name).path();
        if (::lstat(path.c_str(), &status) == 0) kind = IFTODT(status.st_mode);
    }
    switch (kind) {
        case DT_REG:
            return fs::file_type::regular;
        case DT_DIR:
            return fs::file_type::directory;
        case DT_LNK:
            return fs::file_type::symlink;
        case DT_FIFO:
            return fs::file_type::fifo;
        case DT_SOCK:
            return fs::file_type::socket;
        case DT_CHR:
            return fs::file_type::character;
        case DT_BLK:
            return fs::file_type::block;
        default:
            return fs::file_type::unknown;
    }
}

// The names of one folder with their types as the listing gives them, read in full before any
// child is visited, by name in byte order.
std::vector<std::pair<std::string, fs::file_type>> listFolder(const FileURL& folder,
                                                              bool passOverFailure) {
    std::vector<std::pair<std::string, fs::file_type>> items;
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder.path().c_str()), ::closedir);
    int error = listing ? 0 : errno;
    while (listing) {
        errno = 0;
        const dirent* item = ::readdir(listing.get());
        if (item == nullptr) {
            error = errno;
            break;
        }
        const std::string_view name = item->d_name;
        if (name == "." || name == "..") continue;
        items.emplace_back(std::string(name), typeOf(*item, folder));
    }
    if (error != 0 && !passOverFailure) throw posixFileError(error, folder.path());
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

std::optional<ProvidedEntry> describeItem(const FileURL& item) {
    struct stat status {};
    if (!item.isFileURL() || ::lstat(item.path().c_str(), &status) != 0) return std::nullopt;
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode) && !S_ISLNK(status.st_mode)) {
        return std::nullopt;
    }
    return providedEntryOf(status);
}

std::vector<std::optional<ProvidedEntry>> describeItems(const std::vector<FileURL>& items) {
    // Runs of items are taken in turn by up to one thread per core; each item's answer has its
    // own slot, so no lock is needed.
    constexpr std::size_t run = 256;
    constexpr std::size_t mostThreads = 16;
    std::vector<std::optional<ProvidedEntry>> described(items.size());
    std::atomic<std::size_t> next{0};
    const auto describeRuns = [&] {
        for (std::size_t start = next.fetch_add(run); start < items.size();
             start = next.fetch_add(run)) {
            for (std::size_t index = start; index < std::min(items.size(), start + run); ++index)
                described[index] = describeItem(items[index]);
        }
    };
    const std::size_t threads = std::min(
        {std::size_t{std::thread::hardware_concurrency()}, items.size() / run, mostThreads});
    if (threads < 2) {
        describeRuns();
        return described;
    }
    // This thread only waits: it is the one that goes on to place every entry, and the more
    // cores, the smaller the share each describing thread takes.
    std::vector<std::jthread> describing;
    for (std::size_t thread = 0; thread < threads; ++thread)
        describing.emplace_back(describeRuns);
    describing.clear();  // joins them: their slots are filled
    return described;
}

std::int64_t archivingUnitsOf(const ProvidedEntry& item) {
    return item.type == EntryType::directory ? 1 : item.uncompressedSize;
}

std::int64_t archivingUnitsOf(const FileURL& item) {
    const std::optional<ProvidedEntry> described = describeItem(item);
    return described ? archivingUnitsOf(*described) : 0;
}

}  // namespace marrowzip
