// marrowzip add [-0…-9] [--exclude PATTERN]... [--update] [--as PATH] ARCHIVE ITEM...
// marrowzip create [-0…-9] [--exclude PATTERN]... [--prefix] ARCHIVE ITEM...
#include <algorithm>
#include <filesystem>
#include <string_view>
#include <unordered_set>

#include "add_plan.hpp"
#include "commands.hpp"
#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/attributes.hpp"
#include "progress_bar.hpp"
#include "standard_streams.hpp"

namespace marrowzip::tool {
namespace {

struct SortedPlan {
    std::vector<PlannedEntry> toAppend;
    std::vector<Entry> stale;  // the entries the appended ones replace
};

// Whether the item changed after the entry was written (to the second: what entries keep).
bool isNewerThan(const PlannedEntry& planned, const Entry& entry) {
    // Whole seconds as taken, not through a fractional date that may round up.
    return statusOfItem(planned.item).st_mtim.tv_sec > entry.modificationTime().seconds;
}

// Entries already in the archive: a folder there is kept as it is; a file or link is refused
// (a second entry of the same name would make extraction fail on it), or with --update replaced
// when its source is newer and else kept. Duplicates among the items themselves are refused.
SortedPlan sortOutExisting(const Archive& archive, std::vector<PlannedEntry> plan, bool mayRepeat,
                           const std::string& archiveName, bool update) {
    SortedPlan sorted;
    // A new archive holds nothing to look up: the plan is kept as it is, unless it repeats a
    // path.
    const bool empty = archive.begin() == archive.end();
    if (empty && !mayRepeat) {
        sorted.toAppend = std::move(plan);
        return sorted;
    }
    if (empty) {
        std::unordered_set<std::string_view> paths(plan.size());
        if (std::all_of(plan.begin(), plan.end(), [&](const PlannedEntry& planned) {
                return paths.insert(planned.path).second;
            })) {
            sorted.toAppend = std::move(plan);
            return sorted;
        }
    }
    std::unordered_set<std::string> seen(plan.size());
    sorted.toAppend.reserve(plan.size());
    for (PlannedEntry& planned : plan) {
        const bool repeated = !seen.insert(planned.path).second;
        const std::optional<Entry> present =
            repeated || empty ? std::nullopt : archive.findEntry(planned.path);
        if (!repeated && !present) {
            sorted.toAppend.push_back(std::move(planned));
        } else if (planned.type == EntryType::directory) {
            continue;
        } else if (!update || repeated || present->type() == EntryType::directory) {
            throw CommandFailure(archiveName + ": " + planned.path +
                                 ": the archive already holds an entry with this path");
        } else if (isNewerThan(planned, *present)) {
            sorted.stale.push_back(*present);
            sorted.toAppend.push_back(std::move(planned));
        }
    }
    return sorted;
}

struct AppendRun {
    const std::string& archive;
    const std::vector<std::string>& items;
    const ArchivingOptions& archiving;
    std::optional<std::string> entryPath;
    bool update = false;
    bool noWait = false;
    bool create = false;  // a new archive: refuses an existing file
    const char* label;    // of the progress bar
};

// What create and add share: plan the items, then append them to the archive all or nothing.
int appendItems(const AppendRun& run, ToolContext& context) {
    context.subject = run.archive;
    context.paths.add(run.archive);
    const FileURL archiveURL = FileURL::fromPath(run.archive);
    if (run.create && isReachable(archiveURL)) {
        throw Error(FileError::fileWriteFileExists, archiveURL.path());
    }
    Plan plan = planItems(run.items, {run.entryPath, run.archiving.prefix, run.archiving.excludes},
                          {run.archive, run.archive}, context);

    const bool existed = isReachable(archiveURL);
    context.interruptedNote = existed ? "the archive is unchanged" : "no archive was created";
    std::optional<Archive> archive;
    archive.emplace(Archive::openFile(
        archiveURL, existed ? Archive::AccessMode::update : Archive::AccessMode::create,
        writerOptions(run.noWait, context)));

    const int level = run.archiving.level;
    const CompressionMethod method =
        level == 0 ? CompressionMethod::none : CompressionMethod::deflate;
    try {
        SortedPlan sorted = sortOutExisting(*archive, std::move(plan.entries), plan.mayRepeat,
                                            run.archive, run.update);
        // With entries to replace, the newer ones join a copy of the archive without the old
        // ones, which takes the archive's place in one step: interrupted anywhere, the archive
        // is as it was.
        std::optional<Archive::Replacement> replacement;
        if (!sorted.stale.empty()) {
            Progress copying(static_cast<std::int64_t>(
                std::min<std::uint64_t>(archive->offsetToStartOfCentralDirectory(), INT64_MAX)));
            auto attachment = context.interrupts.attach(copying);
            ProgressBar bar(copying, "copying", context.showProgress);
            replacement.emplace(
                archive->beginReplacement(sorted.stale, defaultChunkSize, &copying));
        }
        Archive& target = replacement ? replacement->archive() : *archive;
        Progress progress(totalUnits(sorted.toAppend));
        auto attachment = context.interrupts.attach(progress);
        ProgressBar bar(progress, run.label, context.showProgress);
        // All or nothing: after Ctrl-C, or any other failure, the engine puts the archive back
        // as it was (it would otherwise keep the entries appended before the failing one).
        Archive::BulkAppend bulk = target.beginBulkAppend(
            defaultChunkSize, {.workers = context.workers,
                               .storeIfNotSmaller = true,
                               .allOrNothing = true,
                               .level = level == 0 ? defaultCompressionLevel : level});
        for (const PlannedEntry& entry : sorted.toAppend) {
            auto child = progress.makeChild(entry.units, std::max<std::int64_t>(entry.units, 0));
            target.appendEntry(entry.path, entry.item,
                               {.compressionMethod = method,
                                .progress = child.get(),
                                .described = entry.described});
        }
        bulk.finish();
        if (replacement) replacement->commit();
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

}  // namespace

int runAdd(const AddOptions& options, ToolContext& context) {
    return appendItems({options.archive, options.items, options.archiving, options.entryPath,
                        options.update, options.noWait, false, "adding"},
                       context);
}

Plan planItems(const std::vector<std::string>& items, const PlanOptions& options,
               const PlannedArchive& archive, ToolContext& context) {
    for (const std::string& item : items)
        context.paths.add(item);
    Plan plan = planEntries(items, options, archive.path);
    for (const Warning& warning : plan.skipped)
        printErrorLine("warning: " + describeWarning(warning, context.paths));
    if (plan.skippedArchive) printErrorLine("warning: " + archive.shown + ": not stored in itself");
    if (context.interrupts.requested()) throw Error(ArchiveError::cancelledOperation);
    return plan;
}

std::int64_t totalUnits(const std::vector<PlannedEntry>& plan) {
    std::int64_t total = 0;
    for (const PlannedEntry& entry : plan)
        total += std::max<std::int64_t>(entry.units, 0);
    return total;
}

int runCreate(const CreateOptions& options, ToolContext& context) {
    if (options.archive == standardStreamArgument) {
        return runCreateToStandardOutput(options, context);
    }
    const int status = appendItems({options.archive, options.items, options.archiving, std::nullopt,
                                    false, false, true, "creating"},
                                   context);
    if (status == exitSuccess && options.comment) {
        Archive archive =
            Archive::openFile(FileURL::fromPath(options.archive), Archive::AccessMode::update);
        archive.setComment(*options.comment);
    }
    return status;
}

}  // namespace marrowzip::tool
