// marrowzip test [-x PATTERN]... ARCHIVE [PATTERN...]
#include <iostream>

#include "commands.hpp"
#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "marrowzip/format/entry_selection.hpp"
#include "progress_bar.hpp"
#include "standard_streams.hpp"

namespace marrowzip::tool {
namespace {

std::string entries(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " entry" : " entries");
}

}  // namespace

int runTest(const TestOptions& options, ToolContext& context) {
    const ArchiveInput input = openArchiveInput(options.archive, context);
    Archive archive = Archive::openFile(input.url, Archive::AccessMode::read);
    // The total is read in a pass of its own, for the bar alone: without one it is not read.
    Progress progress(context.showProgress ? readingUnitCount(archive) : 0);
    auto attachment = context.interrupts.attach(progress);
    ProgressBar bar(progress, "testing", context.showProgress);
    EntrySelection chooser(options.selection.patterns, options.selection.excludes);
    // Every byte is read and inflated and only the checksum kept; a damaged entry gets its line
    // and does not end the test, the next one may be sound.
    const ExtractResult result = extractEntries(
        archive, {},
        {.filter = [&](const Entry&, const std::string& path) { return chooser.selects(path); },
         .onEntryError =
             [&](const Entry&, const std::string&, const Error& error) {
                 bar.printErrorLine(describe(error, context.paths, input.shown));
             },
         .progress = childProgressOf(progress),
         .workers = context.workers});
    if (result.cancelled) throw Error(ArchiveError::cancelledOperation);
    if (result.endedEarly) {
        bar.printErrorLine(describe(*result.endedEarly, context.paths, input.shown));
    }
    throwIfUnmatched(chooser, input.shown);
    const std::uint64_t tested = result.extracted + result.failed;
    if (result.failed > 0) {
        printErrorLine(input.shown + ": " + std::to_string(result.failed) + " of " +
                       entries(tested) + " failed the test");
    }
    if (result.failed > 0 || result.endedEarly) return exitFailure;
    std::cout << input.shown << ": " << entries(tested) << " tested, no errors\n";
    return exitSuccess;
}

}  // namespace marrowzip::tool
