// marrowzip remove ARCHIVE PATH...
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "commands.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/container/archive.hpp"
#include "progress_bar.hpp"

namespace marrowzip::tool {
namespace {

namespace fs = std::filesystem;

// The entry a PATH names: exactly, or as a folder when the "/" was left off.
std::optional<Entry> findNamedEntry(const Archive& archive, const std::string& path) {
    if (auto entry = archive.findEntry(path)) return entry;
    if (!path.empty() && path.back() != '/') return archive.findEntry(path + "/");
    return std::nullopt;
}

// Each removal rewrites the archive; the progress of each is counted as the bytes before the
// central directory, which is about what it copies.
void removeEach(Archive& archive, const std::vector<std::string>& paths, ToolContext& context) {
    const auto perRemoval = static_cast<std::int64_t>(
        std::min<std::uint64_t>(archive.offsetToStartOfCentralDirectory(), INT64_MAX / 1024));
    Progress progress(perRemoval * static_cast<std::int64_t>(paths.size()));
    auto attachment = context.interrupts.attach(progress);
    ProgressBar bar(progress, "removing", context.showProgress);
    for (const std::string& path : paths) {
        // Looked up afresh: a removal moves the entries behind it, and an Entry found before
        // would carry its old offset.
        const std::optional<Entry> entry = findNamedEntry(archive, path);
        if (!entry) throw Error(ArchiveError::invalidEntryPath, archive.url().path(), path);
        archive.removeEntry(*entry, defaultChunkSize, progress.makeChild(0, perRemoval).get());
    }
}

// A working copy beside the archive for removing several entries: every removal is made on
// the copy, which then takes the archive's place in one rename. So a failure or Ctrl-C part
// way leaves the archive as it was, not with some of the entries gone.
class WorkingCopy {
public:
    explicit WorkingCopy(const std::string& archivePath) {
        const fs::path original = fs::canonical(archivePath);  // a link is updated at its target
        original_ = original.string();
        std::string pattern = (original.parent_path() / ".marrowzip-remove-XXXXXX").string();
        const int descriptor = ::mkstemp(pattern.data());
        if (descriptor < 0) throw posixFileError(errno, pattern);
        ::close(descriptor);
        path_ = pattern;
        fs::copy_file(original_, path_, fs::copy_options::overwrite_existing);
    }
    ~WorkingCopy() {
        std::error_code ignored;
        if (!committed_) fs::remove(path_, ignored);
    }
    WorkingCopy(const WorkingCopy&) = delete;
    WorkingCopy& operator=(const WorkingCopy&) = delete;

    const std::string& path() const noexcept { return path_; }

    // The copy takes the archive's place, with the archive's permission bits.
    void commit() {
        struct stat status {};
        if (::stat(original_.c_str(), &status) == 0) ::chmod(path_.c_str(), status.st_mode & 07777);
        if (::rename(path_.c_str(), original_.c_str()) != 0) throw posixFileError(errno, original_);
        committed_ = true;
    }

private:
    std::string original_;
    std::string path_;
    bool committed_ = false;
};

}  // namespace

int runRemove(const RemoveOptions& options, ToolContext& context) {
    context.subject = options.archive;
    context.paths.add(options.archive);
    context.interruptedNote = "the archive is unchanged";

    // Each PATH once, in the order given.
    std::vector<std::string> paths;
    for (const std::string& path : options.paths) {
        if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
    }

    const FileURL archiveURL = FileURL::fromPath(options.archive);
    {
        // Every PATH must be there before anything is removed.
        const Archive archive = Archive::openFile(archiveURL, Archive::AccessMode::read);
        for (const std::string& path : paths) {
            if (!findNamedEntry(archive, path)) {
                throw CommandFailure(options.archive + ": " + path +
                                     ": no such entry in the archive");
            }
        }
    }
    if (context.interrupts.requested()) throw Error(ArchiveError::cancelledOperation);

    if (paths.size() == 1) {
        // One removal replaces the archive in one step by itself. It replaces the file at the
        // path it is given: given a link, it would put a file in the link's place and leave the
        // archive the link leads to as it was. So it gets the path the link resolves to.
        const std::string resolved = fs::canonical(archiveURL.path()).string();
        context.paths.addAlias(resolved, options.archive);
        Archive archive =
            Archive::openFile(FileURL::fromPath(resolved), Archive::AccessMode::update);
        removeEach(archive, paths, context);
        return exitSuccess;
    }
    WorkingCopy copy(archiveURL.path());
    context.paths.addAlias(copy.path(), options.archive);  // errors name the archive, not the copy
    {
        Archive archive =
            Archive::openFile(FileURL::fromPath(copy.path()), Archive::AccessMode::update);
        removeEach(archive, paths, context);
    }
    copy.commit();
    return exitSuccess;
}

}  // namespace marrowzip::tool
