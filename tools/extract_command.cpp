// marrowzip extract [--skip-checksum] [--allow-links-outside] [--keep-special-bits]
//                   [--encoding NAME] ARCHIVE DEST
#include "commands.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "progress_bar.hpp"
#include "standard_streams.hpp"

namespace marrowzip::tool {

int runExtract(const ExtractOptions& options, ToolContext& context) {
    const ArchiveInput input = openArchiveInput(options.archive, context);
    context.paths.add(options.destination);
    context.interruptedNote =
        "the extraction stopped; what it extracted stays, the last item possibly incomplete";
    if (context.interrupts.requested()) throw Error(ArchiveError::cancelledOperation);

    Progress progress;
    auto attachment = context.interrupts.attach(progress);
    ProgressBar bar(progress, "extracting", context.showProgress);
    // The engine refuses entries that would land outside DEST, never overwrites, checks every
    // CRC-32 (unless told not to) and fails when the central directory ends early.
    UnzipOptions unzip;
    unzip.skipChecksum = options.skipChecksum;
    unzip.allowLinksOutside = options.allowLinksOutside;
    unzip.keepSpecialBits = options.keepSpecialBits;
    unzip.pathEncoding = options.encoding;
    unzip.warn = [&](const Warning& warning) {
        bar.printErrorLine("warning: " + describeWarning(warning, context.paths));
    };
    unzipArchiveToDirectory(input.url, FileURL::fromPath(options.destination, true), unzip,
                            &progress);
    return exitSuccess;
}

}  // namespace marrowzip::tool
