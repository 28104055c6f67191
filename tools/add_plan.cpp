#include "add_plan.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>

#include "marrowzip/container/entry_selection.hpp"
#include "marrowzip/filesystem/attributes.hpp"
#include "reporting.hpp"

namespace marrowzip::tool {
namespace {

namespace fs = std::filesystem;

struct FileIdentity {
    dev_t device;
    ino_t inode;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

std::optional<FileIdentity> identityOf(const fs::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino};
}

class Planner {
public:
    Planner(const std::string& archivePath, const PlanOptions& options)
        : archive_(identityOf(archivePath)),
          archiveLocation_(locationOf(archivePath)),
          options_(options) {}

    void addNamedItem(const std::string& typed, bool named) {
        const std::optional<std::string>& entryPath = options_.entryPath;
        fs::path absolute = fs::path(FileURL::fromPath(typed).path()).lexically_normal();
        if (!absolute.has_filename()) absolute = absolute.parent_path();  // "a/b/" → "a/b"
        const ItemStatus item = statusOf(absolute);
        const fs::file_status& status = item.status;
        if (!fs::exists(status)) throw Error(FileError::fileReadNoSuchFile, absolute.string());
        if (fs::is_regular_file(status) && isArchive(absolute)) {
            throw CommandFailure(typed + ": an archive cannot be added to itself");
        }
        if (!isStorable(status)) {
            throw CommandFailure(typed + ": only files, folders and links can be added");
        }
        std::string path = entryPath.value_or(absolute.filename().string());
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        if (path.empty() || path == "/") {
            throw CommandFailure(typed +
                                 ": the item has no name to store it under; name one with --as");
        }
        if (!named && fs::is_directory(status)) {
            addChildren(absolute, "");
        } else if (!isExcluded(path)) {
            add(absolute, path, item);
        }
    }

    Plan plan;

private:
    static fs::path locationOf(const std::string& archivePath) {
        std::error_code error;
        fs::path location = fs::weakly_canonical(FileURL::fromPath(archivePath).path(), error);
        return error ? fs::path() : location;
    }

    // The item's type and size (a link's own, not its target's), from one lstat(2): a tree of
    // small files costs about its path lookups.
    struct ItemStatus {
        fs::file_status status;
        std::uint64_t size = 0;
    };

    static ItemStatus statusOf(const fs::path& path) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0) {
            if (errno == ENOENT) return {fs::file_status(fs::file_type::not_found), 0};
            throw Error(std::error_code(errno, std::generic_category()), path.string());
        }
        return {fs::file_status(typeOf(status.st_mode)),
                static_cast<std::uint64_t>(status.st_size)};
    }

    static fs::file_type typeOf(mode_t mode) {
        if (S_ISREG(mode)) return fs::file_type::regular;
        if (S_ISDIR(mode)) return fs::file_type::directory;
        if (S_ISLNK(mode)) return fs::file_type::symlink;
        if (S_ISBLK(mode)) return fs::file_type::block;
        if (S_ISCHR(mode)) return fs::file_type::character;
        if (S_ISFIFO(mode)) return fs::file_type::fifo;
        if (S_ISSOCK(mode)) return fs::file_type::socket;
        return fs::file_type::unknown;
    }

    static bool isStorable(const fs::file_status& status) {
        return fs::is_regular_file(status) || fs::is_directory(status) || fs::is_symlink(status);
    }

    bool isArchive(const fs::path& path) const { return archive_ && identityOf(path) == archive_; }

    void add(const fs::path& item, const std::string& entryPath, const ItemStatus& taken) {
        const FileURL url = FileURL::fromPath(item.string());
        const fs::file_status& status = taken.status;
        if (fs::is_directory(status)) {
            plan.entries.push_back({entryPath + "/", url, EntryType::directory, 1});
            addChildren(item, entryPath);
            return;
        }
        const bool link = fs::is_symlink(status);
        std::error_code error;
        const auto size = link ? fs::read_symlink(item, error).native().size() : taken.size;
        if (error) throw Error(error, item.string());
        plan.entries.push_back({entryPath, url, link ? EntryType::symlink : EntryType::file,
                                static_cast<std::int64_t>(size)});
    }

    void addChildren(const fs::path& folder, const std::string& entryPath) {
        std::vector<fs::path> children;
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error)) {
            children.push_back(it->path());
        }
        if (error) throw Error(error, folder.string());
        std::sort(children.begin(), children.end());
        const std::string base = entryPath.empty() ? entryPath : entryPath + "/";
        for (const fs::path& child : children) {
            const ItemStatus taken = statusOf(child);
            const fs::file_status& status = taken.status;
            const std::string childPath = base + child.filename().string();
            if (isExcluded(childPath)) continue;
            if (!isStorable(status)) {
                skipSpecialFile(child);
                continue;
            }
            // A link to the archive is stored as a link; only the archive's own bytes are skipped.
            if (fs::is_regular_file(status) && isArchive(child)) {
                plan.skippedArchive = true;
                continue;
            }
            add(child, childPath, taken);
        }
        // An archive still to be made here would have been met among the children.
        if (!archive_ && isArchiveFolder(folder) &&
            !isExcluded(base + archiveLocation_.filename().string())) {
            plan.skippedArchive = true;
        }
    }

    void skipSpecialFile(const fs::path& item) {
        struct stat status {};
        if (::lstat(item.c_str(), &status) != 0) return;  // gone meanwhile
        const auto kind = specialFileKind(status.st_mode);
        plan.skipped.push_back(
            {item.string(), {}, "not archived: " + kind.value_or("a special file")});
    }

    bool isExcluded(const std::string& entryPath) const {
        return std::any_of(
            options_.excludes.begin(), options_.excludes.end(),
            [&](const std::string& pattern) { return selectsEntry(pattern, entryPath); });
    }

    bool isArchiveFolder(const fs::path& folder) const {
        std::error_code error;
        return !archiveLocation_.empty() &&
               fs::weakly_canonical(folder, error) == archiveLocation_.parent_path() && !error;
    }

    std::optional<FileIdentity> archive_;
    fs::path archiveLocation_;  // where the archive is or will be, links resolved
    const PlanOptions& options_;
};

}  // namespace

Plan planEntries(const std::vector<std::string>& items, const PlanOptions& options,
                 const std::string& archivePath) {
    Planner planner(archivePath, options);
    // A single folder without its name stands for its contents.
    const bool named = options.prefix || items.size() != 1 || options.entryPath;
    for (const std::string& item : items)
        planner.addNamedItem(item, named);
    return std::move(planner.plan);
}

}  // namespace marrowzip::tool
