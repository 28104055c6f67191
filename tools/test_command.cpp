// marrowzip test [-x PATTERN]... ARCHIVE [PATTERN...]
#include <iostream>

#include "commands.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/container/entry_selection.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "progress_bar.hpp"

namespace marrowzip::tool {
namespace {

std::string entries(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " entry" : " entries");
}

}  // namespace

int runTest(const TestOptions& options, ToolContext& context) {
    context.subject = options.archive;
    context.paths.add(options.archive);
    Archive archive =
        Archive::openFile(FileURL::fromPath(options.archive), Archive::AccessMode::read);
    Progress progress(readingUnitCount(archive));
    auto attachment = context.interrupts.attach(progress);
    ProgressBar bar(progress, "testing", context.showProgress);
    EntrySelection chooser(options.selection.patterns, options.selection.excludes);
    // Every byte is read and inflated and only the checksum kept; a damaged entry gets its line
    // and does not end the test, the next one may be sound.
    // Counted here: a central directory that ends early ends the pass with an error, after the
    // entries before the damage were tested.
    struct {
        std::uint64_t tested = 0;
        std::uint64_t failed = 0;
    } count;
    bool endedEarly = false;
    try {
        const ExtractResult result = extractEntries(
            archive, {},
            {.filter =
                 [&](const Entry&, const std::string& path) {
                     const bool chosen = chooser.selects(path);
                     count.tested += chosen ? 1 : 0;
                     return chosen;
                 },
             .onEntryError =
                 [&](const Entry&, const std::string&, const Error& error) {
                     ++count.failed;
                     bar.printErrorLine(describe(error, context.paths, options.archive));
                 },
             .progress = childProgressOf(progress)});
        if (result.cancelled) throw Error(ArchiveError::cancelledOperation);
    } catch (const Error& error) {
        if (error.code() != ArchiveError::invalidCentralDirectoryEntryCount) throw;
        bar.printErrorLine(describe(error, context.paths, options.archive));
        endedEarly = true;
    }
    throwIfUnmatched(chooser, options.archive);
    if (count.failed > 0) {
        printErrorLine(options.archive + ": " + std::to_string(count.failed) + " of " +
                       entries(count.tested) + " failed the test");
    }
    if (count.failed > 0 || endedEarly) return exitFailure;
    std::cout << options.archive << ": " << entries(count.tested) << " tested, no errors\n";
    return exitSuccess;
}

}  // namespace marrowzip::tool
