// marrowzip extract [--skip-checksum] [--allow-links-outside] [--encoding NAME] ARCHIVE DEST
#include "commands.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "progress_bar.hpp"

namespace marrowzip::tool {

int runExtract(const ExtractOptions& options, ToolContext& context) {
    context.subject = options.archive;
    context.paths.add(options.archive);
    context.paths.add(options.destination);
    context.interruptedNote =
        "the extraction stopped; what it extracted stays, the last item possibly incomplete";
    if (context.interrupts.requested()) throw Error(ArchiveError::cancelledOperation);

    Progress progress;
    auto attachment = context.interrupts.attach(progress);
    ProgressBar bar(progress, "extracting", context.showProgress);
    // The engine refuses entries that would land outside DEST, never overwrites, checks every
    // CRC-32 (unless told not to) and fails when the central directory ends early.
    unzipArchiveToDirectory(FileURL::fromPath(options.archive),
                            FileURL::fromPath(options.destination, true), options.skipChecksum,
                            options.allowLinksOutside, &progress, options.encoding);
    return exitSuccess;
}

}  // namespace marrowzip::tool
