// marrowzip test ARCHIVE
#include <cinttypes>
#include <cstdio>
#include <iostream>

#include "commands.hpp"
#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "marrowzip/read/local_record_ranges.hpp"
#include "progress_bar.hpp"

namespace marrowzip::tool {
namespace {

std::string checksumMismatch(const std::string& archive, const Entry& entry,
                             std::uint32_t computed) {
    char detail[64];
    std::snprintf(detail, sizeof detail, "recorded %08" PRIx32 ", computed %08" PRIx32,
                  entry.checksum(), computed);
    return Error(ArchiveError::invalidCRC32, archive, entry.path(), detail).what();
}

// Reads every entry, printing a line for each damaged one; a damaged entry does not end the
// test, the next one may be sound.
struct Tally {
    std::uint64_t tested = 0;
    std::uint64_t damaged = 0;
    bool endedEarly = false;
};

Tally testEntries(Archive& archive, const std::string& archiveName, ToolContext& context) {
    Progress progress(readingUnitCount(archive));
    auto attachment = context.interrupts.attach(progress);
    ProgressBar bar(progress, "testing", context.showProgress);
    EntryIterator entries = archive.makeEntryIterator();
    // Entries whose local records overlap (the non-recursive bomb) are damaged, not inflated
    // again and again.
    LocalRecordRanges claimed(archive);
    Tally tally;
    while (auto entry = entries.next()) {
        ++tally.tested;
        const std::int64_t units = entry->type() == EntryType::directory
                                       ? 1
                                       : static_cast<std::int64_t>(std::min<std::uint64_t>(
                                             entry->uncompressedSize(), INT64_MAX));
        auto child = progress.makeChild(units, units);
        try {
            claimed.claim(*entry, archive.url().path(), entry->path());
            // Every byte is read and inflated; only the checksum is kept.
            const std::uint32_t computed = archive.extractEntry(
                *entry, [](ByteView) {}, defaultChunkSize, false, child.get());
            // A folder is what its entry stands for: data stored with one is ignored, as
            // extraction ignores it, and so is the checksum of that data.
            if (computed == entry->checksum() || entry->type() == EntryType::directory) continue;
            bar.printErrorLine(checksumMismatch(archiveName, *entry, computed));
        } catch (const Error& error) {
            if (error.code() == ArchiveError::cancelledOperation) throw;
            bar.printErrorLine(describe(error.withContext(archive.url().path(), entry->path()),
                                        context.paths, archiveName));
        }
        ++tally.damaged;
    }
    if (entries.endedEarly()) {
        tally.endedEarly = true;
        bar.printErrorLine(entries.earlyEndError(archiveName).what());
    }
    return tally;
}

std::string entries(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " entry" : " entries");
}

}  // namespace

int runTest(const TestOptions& options, ToolContext& context) {
    context.subject = options.archive;
    context.paths.add(options.archive);
    Archive archive =
        Archive::openFile(FileURL::fromPath(options.archive), Archive::AccessMode::read);
    const Tally tally = testEntries(archive, options.archive, context);
    if (tally.damaged > 0) {
        printErrorLine(options.archive + ": " + std::to_string(tally.damaged) + " of " +
                       entries(tally.tested) + " failed the test");
    }
    if (tally.damaged > 0 || tally.endedEarly) return exitFailure;
    std::cout << options.archive << ": " << entries(tally.tested) << " tested, no errors\n";
    return exitSuccess;
}

}  // namespace marrowzip::tool
