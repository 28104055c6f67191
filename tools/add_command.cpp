// marrowzip add [--store] [--as PATH] ARCHIVE ITEM...
#include <filesystem>
#include <set>

#include "add_plan.hpp"
#include "commands.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/container/archive.hpp"
#include "marrowzip/filesystem/attributes.hpp"
#include "progress_bar.hpp"

namespace marrowzip::tool {
namespace {

// Entries already in the archive: a folder there is kept as it is, a file or link refused (a
// second entry of the same name would make extraction fail on it). Same for duplicates among
// the items themselves.
std::vector<PlannedEntry> withoutExistingFolders(const Archive& archive,
                                                 std::vector<PlannedEntry> plan,
                                                 const std::string& archiveName) {
    std::vector<PlannedEntry> kept;
    std::set<std::string> seen;
    for (PlannedEntry& entry : plan) {
        const bool present = !seen.insert(entry.path).second || archive.findEntry(entry.path);
        if (!present) {
            kept.push_back(std::move(entry));
        } else if (entry.type != EntryType::directory) {
            throw CommandFailure(archiveName + ": " + entry.path +
                                 ": the archive already holds an entry with this path");
        }
    }
    return kept;
}

std::int64_t totalUnits(const std::vector<PlannedEntry>& plan) {
    std::int64_t total = 0;
    for (const PlannedEntry& entry : plan)
        total += std::max<std::int64_t>(entry.units, 0);
    return total;
}

}  // namespace

int runAdd(const AddOptions& options, ToolContext& context) {
    context.subject = options.archive;
    context.paths.add(options.archive);
    for (const std::string& item : options.items)
        context.paths.add(item);

    std::vector<Warning> skipped;
    const std::vector<PlannedEntry> plan =
        planEntries(options.items, options.entryPath, options.archive, &skipped);
    for (const Warning& warning : skipped)
        printErrorLine("warning: " + describeWarning(warning, context.paths));
    if (context.interrupts.requested()) throw Error(ArchiveError::cancelledOperation);

    const FileURL archiveURL = FileURL::fromPath(options.archive);
    const bool existed = isReachable(archiveURL);
    context.interruptedNote = existed ? "the archive is unchanged" : "no archive was created";
    std::optional<Archive> archive;
    archive.emplace(Archive::openFile(
        archiveURL, existed ? Archive::AccessMode::update : Archive::AccessMode::create,
        writerOptions(options.noWait, context)));

    const CompressionMethod method =
        options.store ? CompressionMethod::none : CompressionMethod::deflate;
    try {
        const auto toAppend = withoutExistingFolders(*archive, plan, options.archive);
        Progress progress(totalUnits(toAppend));
        auto attachment = context.interrupts.attach(progress);
        ProgressBar bar(progress, "adding", context.showProgress);
        // All or nothing: after Ctrl-C, or any other failure, the engine puts the archive back
        // as it was (it would otherwise keep the entries appended before the failing one).
        Archive::BulkOptions bulkOptions;
        bulkOptions.storeIfNotSmaller = true;
        bulkOptions.allOrNothing = true;
        Archive::BulkAppend bulk = archive->beginBulkAppend(defaultChunkSize, bulkOptions);
        for (const PlannedEntry& entry : toAppend) {
            auto child = progress.makeChild(entry.units, std::max<std::int64_t>(entry.units, 0));
            archive->appendEntry(entry.path, entry.item, method, defaultChunkSize, child.get());
        }
        bulk.finish();
    } catch (...) {
        archive.reset();  // ends the bulk append, which puts the archive back
        if (!existed) {
            std::error_code ignored;
            std::filesystem::remove(archiveURL.path(), ignored);
        }
        throw;
    }
    return exitSuccess;
}

}  // namespace marrowzip::tool
