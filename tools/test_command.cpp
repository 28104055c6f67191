// marrowzip test ARCHIVE
#include <cinttypes>
#include <cstdio>
#include <iostream>

#include "commands.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/container/archive.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
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

}  // namespace

int runTest(const TestOptions& options, ToolContext& context) {
    context.subject = options.archive;
    context.paths.add(options.archive);
    Archive archive =
        Archive::openFile(FileURL::fromPath(options.archive), Archive::AccessMode::read);

    Progress progress(readingUnitCount(archive));
    auto attachment = context.interrupts.attach(progress);
    ProgressBar bar(progress, "testing", context.showProgress);
    EntryIterator entries = archive.makeEntryIterator();
    std::uint64_t tested = 0;
    std::uint64_t damaged = 0;
    while (auto entry = entries.next()) {
        ++tested;
        const std::int64_t units = entry->type() == EntryType::directory
                                       ? 1
                                       : static_cast<std::int64_t>(std::min<std::uint64_t>(
                                             entry->uncompressedSize(), INT64_MAX));
        auto child = progress.makeChild(units, units);
        try {
            // Every byte is read and inflated; only the checksum is kept.
            const std::uint32_t computed = archive.extractEntry(
                *entry, [](ByteView) {}, defaultChunkSize, false, child.get());
            if (computed == entry->checksum()) continue;
            bar.printErrorLine(checksumMismatch(options.archive, *entry, computed));
        } catch (const Error& error) {
            if (error.code() == ArchiveError::cancelledOperation) throw;
            // A damaged entry does not end the test: the next one may be sound.
            bar.printErrorLine(describe(error.withContext(archive.url().path(), entry->path()),
                                        context.paths, options.archive));
        }
        ++damaged;
    }
    if (entries.endedEarly()) {
        bar.printErrorLine(
            earlyEndLine(options.archive, entries, tested, archive.totalNumberOfEntries()));
    }
    if (damaged > 0) {
        bar.printErrorLine(options.archive + ": " + std::to_string(damaged) + " of " +
                           std::to_string(tested) + " entries failed the test");
    }
    if (damaged > 0 || entries.endedEarly()) return exitFailure;
    std::cout << options.archive << ": " << tested << " entries tested, no errors\n";
    return exitSuccess;
}

}  // namespace marrowzip::tool
