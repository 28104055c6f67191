#include "marrowzip/filesystem/tree_walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
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

fs::file_type typeOf(unsigned char kind) {
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

// One folder's listing, made by whichever thread takes it first.
struct Listing {
    enum class State { waiting, taken, done };
    Listing(FileURL url, std::string relative)
        : folder(std::move(url)), path(std::move(relative)) {}
    FileURL folder;
    std::string path;  // relative to the folder walked, behind the walk's prefix
    State state = State::waiting;
    std::vector<WalkedItem> items;
    int error = 0;                 // errno of the listing's failure
    std::exception_ptr filtering;  // what the filter threw
};

// The listing of one folder as the walk needs it: every name the filter keeps, with its own
// type and its description, read in full before any child is visited, by name in byte order.
// Each item is asked with fstatat(2) beside the open folder, which costs no look-up of the
// folder's path.
void listFolder(Listing& listing, const TreeWalkOptions& options) {
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(listing.folder.path().c_str()),
                                                     ::closedir);
    int error = folder ? 0 : errno;
    try {
        while (folder) {
            errno = 0;
            const dirent* entry = ::readdir(folder.get());
            if (entry == nullptr) {
                error = errno;
                break;
            }
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..") continue;
            std::string path = listing.path;
            if (!path.empty()) path += '/';
            path += name;
            WalkedItem item{listing.folder.appendingPathComponent(name), std::move(path),
                            typeOf(entry->d_type), std::nullopt};
            struct stat status {};
            if (::fstatat(::dirfd(folder.get()), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) ==
                0) {
                item.type = typeOf(IFTODT(status.st_mode));
                if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode) || S_ISLNK(status.st_mode))
                    item.described = providedEntryOf(status);
            }
            if (options.filter && !options.filter(item)) continue;
            listing.items.push_back(std::move(item));
        }
    } catch (...) {
        listing.filtering = std::current_exception();
    }
    listing.error = error;
    // The paths differ only in their last component.
    std::sort(listing.items.begin(), listing.items.end(),
              [](const WalkedItem& a, const WalkedItem& b) { return a.path < b.path; });
}

// Lists the folders of a walk ahead of it, one thread per core (up to 16): the walk asks for
// the listings of a folder's subfolders as it comes to the folder, and they are taken in the
// order the walk will need them (the latest asked first, as the walk goes deeper). The walk's
// own thread lists only its first folder, before there are threads: it is left the walk's serial
// work, which is what bounds the walk on many cores. Only the folders the walk asked for are
// listed, never one below a folder the filter left out; a walk ended early (by an error or by
// its caller) stops the threads.
class FolderLister {
public:
    explicit FolderLister(const TreeWalkOptions& options) : options_(options) {}
    FolderLister(const FolderLister&) = delete;
    FolderLister& operator=(const FolderLister&) = delete;
    ~FolderLister() {
        for (std::jthread& thread : threads_)
            thread.request_stop();
        {
            const std::lock_guard lock(mutex_);
            queue_.clear();
        }
        asked_.notify_all();
    }

    // Asks for the listings of `folders`, to be waited for in their order.
    void ask(const std::vector<std::shared_ptr<Listing>>& folders) {
        if (folders.empty()) return;
        {
            const std::lock_guard lock(mutex_);
            queue_.insert(queue_.begin(), folders.begin(), folders.end());
        }
        if (threads_.empty()) start();
        asked_.notify_all();
    }

    // The listing, complete; made here when no thread has taken it yet.
    const Listing& await(Listing& listing) {
        std::unique_lock lock(mutex_);
        if (listing.state == Listing::State::waiting && threads_.empty()) {
            listing.state = Listing::State::taken;
            lock.unlock();
            listFolder(listing, options_);
            lock.lock();
            listing.state = Listing::State::done;
        }
        listed_.wait(lock, [&] { return listing.state == Listing::State::done; });
        return listing;
    }

private:
    void start() {
        const std::size_t count =
            std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, mostThreads);
        for (std::size_t index = 0; index < count; ++index)
            threads_.emplace_back([this](const std::stop_token& stop) { run(stop); });
    }

    void run(const std::stop_token& stop) {
        std::unique_lock lock(mutex_);
        while (true) {
            asked_.wait(lock, stop, [&] { return !queue_.empty(); });
            if (stop.stop_requested()) return;
            const std::shared_ptr<Listing> listing = queue_.front();
            queue_.pop_front();
            if (listing->state != Listing::State::waiting) continue;
            listing->state = Listing::State::taken;
            lock.unlock();
            listFolder(*listing, options_);
            lock.lock();
            listing->state = Listing::State::done;
            listed_.notify_all();
        }
    }

    static constexpr std::size_t mostThreads = 16;
    const TreeWalkOptions& options_;
    std::mutex mutex_;
    std::condition_variable_any asked_;
    std::condition_variable listed_;
    std::deque<std::shared_ptr<Listing>> queue_;
    std::vector<std::jthread> threads_;  // last: they stop before the rest goes
};

void walkBelow(FolderLister& lister, Listing& listing, const TreeWalkOptions& options,
               const std::function<void(WalkedItem&)>& visit) {
    lister.await(listing);
    if (listing.filtering) std::rethrow_exception(listing.filtering);
    if (listing.error != 0 && !options.passOverUnlistableFolders)
        throw posixFileError(listing.error, listing.folder.path());
    // The listings of the folders among the children are asked for before the first is visited.
    std::vector<std::shared_ptr<Listing>> below;
    for (const WalkedItem& item : listing.items) {
        if (item.type == fs::file_type::directory)
            below.push_back(std::make_shared<Listing>(item.url, item.path));
    }
    lister.ask(below);
    auto next = below.begin();
    for (WalkedItem& item : listing.items) {
        const fs::file_type type = item.type;
        if (isSpecial(type)) {
            if (options.warn) {
                if (auto warning = specialFileWarning(item.url)) options.warn(*warning);
            }
            continue;
        }
        visit(item);
        if (type == fs::file_type::directory) {
            const std::shared_ptr<Listing> folder = *next++;
            walkBelow(lister, *folder, options, visit);
        }
    }
    listing.items = {};
}

}  // namespace

void walkFolderTree(const FileURL& folder, const TreeWalkOptions& options,
                    const std::function<void(WalkedItem&)>& visit) {
    FolderLister lister(options);
    Listing root(folder, options.pathPrefix);
    walkBelow(lister, root, options, visit);
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
