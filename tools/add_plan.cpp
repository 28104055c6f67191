#include "add_plan.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "marrowzip/filesystem/attributes.hpp"
#include "marrowzip/format/entry_selection.hpp"
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
        const fs::file_status status = statusOf(absolute);
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
            add(absolute, path, status);
        }
    }

    Plan plan;

private:
    static fs::path locationOf(const std::string& archivePath) {
        std::error_code error;
        fs::path location = fs::weakly_canonical(FileURL::fromPath(archivePath).path(), error);
        return error ? fs::path() : location;
    }

    static fs::file_status statusOf(const fs::path& path) {
        std::error_code error;
        const fs::file_status status = fs::symlink_status(path, error);
        if (error && error != std::errc::no_such_file_or_directory)
            throw Error(error, path.string());
        return status;
    }

    static bool isStorable(const fs::file_status& status) {
        return fs::is_regular_file(status) || fs::is_directory(status) || fs::is_symlink(status);
    }

    bool isArchive(const fs::path& path) const { return archive_ && identityOf(path) == archive_; }

    void add(const fs::path& item, const std::string& entryPath, const fs::file_status& status) {
        const FileURL url = FileURL::fromPath(item.string());
        if (fs::is_directory(status)) {
            plan.entries.push_back({entryPath + "/", url, EntryType::directory, 1});
            addChildren(item, entryPath);
            return;
        }
        const bool link = fs::is_symlink(status);
        std::error_code error;
        const auto size =
            link ? fs::read_symlink(item, error).native().size() : fs::file_size(item, error);
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
            const fs::file_status status = statusOf(child);
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
            add(child, childPath, status);
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
