// marrowzip remove ARCHIVE PATH...
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

    // The removal replaces the file at the path it is given: given a link, it would put a file
    // in the link's place and leave the archive the link leads to as it was. So it gets the
    // path the link resolves to.
    std::error_code unresolved;
    std::string resolved = fs::canonical(options.archive, unresolved).string();
    if (unresolved) resolved = FileURL::fromPath(options.archive).path();
    context.paths.addAlias(resolved, options.archive);
    Archive archive = Archive::openFile(FileURL::fromPath(resolved), Archive::AccessMode::update,
                                        writerOptions(options.noWait, context));
    // Every PATH must be there before anything is removed; all of them then go in one
    // replacement of the file, so that a failure or Ctrl-C part way leaves it as it was.
    std::vector<Entry> entries;
    for (const std::string& path : paths) {
        std::optional<Entry> entry = findNamedEntry(archive, path);
        if (!entry) {
            throw CommandFailure(options.archive + ": " + path + ": no such entry in the archive");
        }
        // "dir" and "dir/" name one entry.
        if (std::find(entries.begin(), entries.end(), *entry) == entries.end()) {
            entries.push_back(std::move(*entry));
        }
    }
    if (context.interrupts.requested()) throw Error(ArchiveError::cancelledOperation);

    // The removal copies about the bytes before the central directory.
    const auto total = static_cast<std::int64_t>(
        std::min<std::uint64_t>(archive.offsetToStartOfCentralDirectory(), INT64_MAX));
    Progress progress(total);
    auto attachment = context.interrupts.attach(progress);
    ProgressBar bar(progress, "removing", context.showProgress);
    archive.removeEntries(entries, defaultChunkSize, &progress);
    return exitSuccess;
}

}  // namespace marrowzip::tool
