#include "add_plan.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

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
    explicit Planner(const std::string& archivePath) : archive_(identityOf(archivePath)) {}

    void addNamedItem(const std::string& typed, const std::optional<std::string>& entryPath) {
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
        add(absolute, path, status);
    }

    std::vector<PlannedEntry> entries;

private:
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
            entries.push_back({entryPath + "/", url, EntryType::directory, 1});
            addChildren(item, entryPath);
            return;
        }
        const bool link = fs::is_symlink(status);
        std::error_code error;
        const auto size =
            link ? fs::read_symlink(item, error).native().size() : fs::file_size(item, error);
        if (error) throw Error(error, item.string());
        entries.push_back({entryPath, url, link ? EntryType::symlink : EntryType::file,
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
        for (const fs::path& child : children) {
            const fs::file_status status = statusOf(child);
            // A link to the archive is stored as a link; only the archive's own bytes are skipped.
            if (!isStorable(status)) {
                skipSpecialFile(child);
                continue;
            }
            if (fs::is_regular_file(status) && isArchive(child)) continue;
            add(child, entryPath + "/" + child.filename().string(), status);
        }
    }

    void skipSpecialFile(const fs::path& item) {
        struct stat status {};
        if (::lstat(item.c_str(), &status) != 0) return;  // gone meanwhile
        const auto kind = specialFileKind(status.st_mode);
        skipped.push_back({item.string(), {}, "not archived: " + kind.value_or("a special file")});
    }

    std::optional<FileIdentity> archive_;

public:
    std::vector<Warning> skipped;
};

}  // namespace

std::vector<PlannedEntry> planEntries(const std::vector<std::string>& items,
                                      const std::optional<std::string>& entryPath,
                                      const std::string& archivePath,
                                      std::vector<Warning>* skipped) {
    Planner planner(archivePath);
    for (const std::string& item : items)
        planner.addNamedItem(item, entryPath);
    if (skipped != nullptr) *skipped = std::move(planner.skipped);
    return std::move(planner.entries);
}

}  // namespace marrowzip::tool
