// marrowzip extract [--skip-existing | --overwrite] [-x PATTERN]... ARCHIVE DEST [PATTERN...]
// marrowzip extract --stdout [-x PATTERN]... ARCHIVE [PATTERN...]
#include <cstdio>

#include "commands.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "marrowzip/format/entry_selection.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "progress_bar.hpp"
#include "standard_streams.hpp"

namespace marrowzip::tool {
namespace {

// The bytes of the chosen files, one after the other; a failure ends the run as in a folder.
void extractToStandardOutput(const marrowzip::ExtractOptions& engine, const ExtractOptions& options,
                             const FileURL& archiveURL, Progress& progress, bool showProgress) {
    Archive archive = Archive::openFile(archiveURL, Archive::AccessMode::read, options.encoding);
    if (showProgress) progress.setTotalUnitCount(readingUnitCount(archive));
    const auto write = [](const Entry&, ByteView bytes) {
        try {
            writeStreamChunk(bytes, stdout);
        } catch (const Error& error) {
            throw error.withContext("standard output");
        }
    };
    extractEntries(archive, {.consumer = write}, engine);
    if (std::fflush(stdout) != 0) throw Error(DataError::unwritableFile, "standard output");
}

}  // namespace

int runExtract(const ExtractOptions& options, ToolContext& context) {
    const ArchiveInput input = openArchiveInput(options.archive, context);
    context.paths.add(options.destination);
    context.interruptedNote = "the extraction stopped; what it extracted stays";
    if (context.interrupts.requested()) throw Error(ArchiveError::cancelledOperation);

    Progress progress;
    auto attachment = context.interrupts.attach(progress);
    ProgressBar bar(progress, "extracting", context.showProgress);
    EntrySelection chooser(options.selection.patterns, options.selection.excludes);
    // The engine refuses entries that would land outside DEST, checks every CRC-32 (unless told
    // not to) and fails when the central directory ends early. An item already at an entry's
    // path gets its line and the others are extracted; any other failure ends the run.
    std::uint64_t refused = 0;
    marrowzip::ExtractOptions engine{
        .verifyChecksum = !options.skipChecksum,
        .allowLinksOutside = options.allowLinksOutside,
        .keepSpecialBits = options.keepSpecialBits,
        .existing = options.existing,
        .pathEncoding = options.encoding,
        .filter = [&](const Entry&, const std::string& path) { return chooser.selects(path); },
        .onEntryError =
            [&](const Entry&, const std::string&, const Error& error) {
                if (error.code() != FileError::fileWriteFileExists) throw error;
                ++refused;
                bar.printErrorLine(describe(error, context.paths, input.shown));
            },
        .progress = childProgressOf(progress),
        .workers = context.workers,
        .warn =
            [&](const Warning& warning) {
                bar.printErrorLine("warning: " + describeWarning(warning, context.paths));
            }};
    if (options.toStdout) {
        engine.onEntryError = {};
        extractToStandardOutput(engine, options, input.url, progress, context.showProgress);
    } else {
        // The total (a pass of its own over the entries) is read for the bar alone; the
        // children keep the cancellation either way.
        const ExtractResult result =
            unzipArchiveToDirectory(input.url, FileURL::fromPath(options.destination, true), engine,
                                    context.showProgress ? &progress : nullptr);
        if (result.cancelled) throw Error(ArchiveError::cancelledOperation);
        if (result.endedEarly) throw Error(*result.endedEarly);
    }
    throwIfUnmatched(chooser, input.shown);
    if (refused == 0) return exitSuccess;
    printErrorLine(options.destination + ": " + std::to_string(refused) +
                   (refused == 1 ? " item" : " items") +
                   " already there left untouched (--overwrite replaces, --skip-existing passes "
                   "over)");
    return exitFailure;
}

}  // namespace marrowzip::tool
