// marrowzip remove [-x PATTERN]... ARCHIVE PATTERN...
#include <algorithm>
#include <filesystem>

#include "commands.hpp"
#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/progress.hpp"
#include "progress_bar.hpp"

namespace marrowzip::tool {

int runRemove(const RemoveOptions& options, ToolContext& context) {
    context.subject = options.archive;
    context.paths.add(options.archive);
    context.interruptedNote = "the archive is unchanged";

    // The removal replaces the file at the path it is given: given a link, it would put a file
    // in the link's place and leave the archive the link leads to as it was. So it gets the
    // path the link resolves to.
    std::error_code unresolved;
    std::string resolved = std::filesystem::canonical(options.archive, unresolved).string();
    if (unresolved) resolved = FileURL::fromPath(options.archive).path();
    context.paths.addAlias(resolved, options.archive);
    Archive archive = Archive::openFile(FileURL::fromPath(resolved), Archive::AccessMode::update,
                                        writerOptions(options.noWait, context));
    // Every PATTERN must choose something before anything is removed; all the chosen entries
    // (a folder with everything below it) then go in one replacement of the file, so that a
    // failure or Ctrl-C part way leaves it as it was.
    const std::vector<Entry> entries =
        selectEntries(archive, options.archive, options.selection, context);
    if (entries.empty()) return exitSuccess;  // everything chosen was excluded
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
