#include "add_plan.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "marrowzip/filesystem/tree_walk.hpp"
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
            addFolder(FileURL::fromPath(absolute.string()), "");
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
            addFolder(url, entryPath);
        } else {
            addFile(url, entryPath, fs::is_symlink(status));
        }
    }

    void addFolder(const FileURL& folder, const std::string& entryPath) {
        if (!entryPath.empty())
            plan.entries.push_back({entryPath + "/", folder, EntryType::directory, 1});
        // The folders below are this one's, links resolved, joined with their relative paths:
        // the walk never follows a link, and resolving every folder again would cost a look-up
        // of each of its path's components.
        const fs::path canonical = canonicalOf(folder.filesystemPath());
        noteArchiveToBeMade(canonical, entryPath);
        // The filter runs on the listing threads: it only reads, but for the one flag.
        std::atomic<bool> skippedArchive{false};
        const TreeWalkOptions walk{
            .filter =
                [&](const WalkedItem& child) {
                    if (isExcluded(child.path)) return false;
                    // A link to the archive is stored as a link; only the archive's own bytes
                    // are skipped.
                    if (child.type != fs::file_type::regular || !isArchive(child.url.path()))
                        return true;
                    skippedArchive = true;
                    return false;
                },
            .warn = [&](const Warning& warning) { plan.skipped.push_back(warning); },
            .pathPrefix = entryPath};
        walkFolderTree(folder, walk, [&](WalkedItem& child) {
            if (child.type == fs::file_type::directory) {
                if (!canonical.empty()) {
                    noteArchiveToBeMade(
                        canonical / child.path.substr(entryPath.empty() ? 0 : entryPath.size() + 1),
                        child.path);
                }
                child.path += '/';
                plan.entries.push_back({std::move(child.path), std::move(child.url),
                                        EntryType::directory, 1, child.described});
            } else {
                addFile(std::move(child.url), std::move(child.path),
                        child.type == fs::file_type::symlink, child.described);
            }
        });
        if (skippedArchive) plan.skippedArchive = true;
    }

    void addFile(FileURL item, std::string entryPath, bool link,
                 std::optional<ProvidedEntry> described = std::nullopt) {
        plan.entries.push_back({std::move(entryPath), std::move(item),
                                link ? EntryType::symlink : EntryType::file, 0, described});
    }

    // An archive still to be made in a folder being stored would be met among its children.
    // `canonical`: the folder's path with links resolved.
    void noteArchiveToBeMade(const fs::path& canonical, const std::string& entryPath) {
        const std::string base = entryPath.empty() ? entryPath : entryPath + "/";
        if (!archive_ && !canonical.empty() && canonical == archiveLocation_.parent_path() &&
            !isExcluded(base + archiveLocation_.filename().string())) {
            plan.skippedArchive = true;
        }
    }

    bool isExcluded(const std::string& entryPath) const {
        return !options_.excludes.empty() &&
               std::any_of(
                   options_.excludes.begin(), options_.excludes.end(),
                   [&](const std::string& pattern) { return selectsEntry(pattern, entryPath); });
    }

    // Empty when the archive is there already (it is then skipped by its identity), when its
    // place is unknown, or when the folder cannot be resolved.
    fs::path canonicalOf(const fs::path& folder) const {
        if (archive_ || archiveLocation_.empty()) return {};
        std::error_code error;
        fs::path canonical = fs::weakly_canonical(folder, error);
        return error ? fs::path() : canonical;
    }

    std::optional<FileIdentity> archive_;
    fs::path archiveLocation_;  // where the archive is or will be, links resolved
    const PlanOptions& options_;
};

}  // namespace

Plan planEntries(const std::vector<std::string>& items, const PlanOptions& options,
                 const std::string& archivePath) {
    Planner planner(archivePath, options);
    // The plan of a large tree grows in place, without the moves of a vector that doubles; the
    // pages of the reservation that are never written cost no memory.
    planner.plan.entries.reserve(std::size_t{1} << 16);
    // A single folder without its name stands for its contents.
    const bool named = options.prefix || items.size() != 1 || options.entryPath;
    for (const std::string& item : items)
        planner.addNamedItem(item, named);
    Plan plan = std::move(planner.plan);
    plan.mayRepeat = items.size() > 1;
    // The walk described what it found; the items named are described here.
    std::vector<FileURL> undescribed;
    for (const PlannedEntry& entry : plan.entries) {
        if (!entry.described) undescribed.push_back(entry.item);
    }
    const std::vector<std::optional<ProvidedEntry>> described = describeItems(undescribed);
    auto next = described.begin();
    for (PlannedEntry& entry : plan.entries) {
        if (!entry.described) entry.described = *next++;
        if (!entry.described) throw Error(FileError::fileReadNoSuchFile, entry.item.path());
        entry.units = archivingUnitsOf(*entry.described);
    }
    return plan;
}

}  // namespace marrowzip::tool
