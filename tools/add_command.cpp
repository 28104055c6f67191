// marrowzip add [--store] [--as PATH] ARCHIVE ITEM...
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "add_plan.hpp"
#include "commands.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/container/archive.hpp"
#include "marrowzip/filesystem/attributes.hpp"
#include "progress_bar.hpp"

namespace marrowzip::tool {
namespace {

// The bytes of an archive from its central directory to its end: all that appending rewrites
// (new entries go where the central directory began). Putting them back after truncating the
// file there undoes every append of the run, so `add` changes the archive as a whole or not at
// all: after Ctrl-C, and after any other failure, where the engine's bulk append would keep
// the entries appended before the failing one.
class ArchiveTail {
public:
    static ArchiveTail save(const std::string& path, std::uint64_t offset) {
        ArchiveTail tail;
        tail.path_ = path;
        std::ifstream in(path, std::ios::binary | std::ios::ate);
        const auto size = static_cast<std::uint64_t>(std::max<std::streamoff>(in.tellg(), 0));
        tail.offset_ = std::min(offset, size);  // never let a restore lengthen the file
        in.seekg(static_cast<std::streamoff>(tail.offset_));
        tail.bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) throw Error(DataError::unreadableFile, path);
        return tail;
    }

    bool restore() const {
        const int descriptor = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
        if (descriptor < 0) return false;
        bool ok = ::ftruncate(descriptor, static_cast<off_t>(offset_)) == 0;
        std::size_t written = 0;
        while (ok && written < bytes_.size()) {
            const ssize_t n = ::pwrite(descriptor, bytes_.data() + written, bytes_.size() - written,
                                       static_cast<off_t>(offset_ + written));
            ok = n > 0;
            if (ok) written += static_cast<std::size_t>(n);
        }
        ok = ok && ::fsync(descriptor) == 0;
        return ::close(descriptor) == 0 && ok;
    }

private:
    std::string path_;
    std::uint64_t offset_ = 0;
    std::string bytes_;
};

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
        archiveURL, existed ? Archive::AccessMode::update : Archive::AccessMode::create));
    const std::optional<ArchiveTail> tail =
        existed ? std::optional(ArchiveTail::save(archiveURL.path(),
                                                  archive->offsetToStartOfCentralDirectory()))
                : std::nullopt;

    const CompressionMethod method =
        options.store ? CompressionMethod::none : CompressionMethod::deflate;
    try {
        const auto toAppend = withoutExistingFolders(*archive, plan, options.archive);
        Progress progress(totalUnits(toAppend));
        auto attachment = context.interrupts.attach(progress);
        ProgressBar bar(progress, "adding", context.showProgress);
        Archive::BulkAppend bulk = archive->beginBulkAppend();
        for (const PlannedEntry& entry : toAppend) {
            auto child = progress.makeChild(entry.units, std::max<std::int64_t>(entry.units, 0));
            archive->appendEntry(entry.path, entry.item, method, defaultChunkSize, child.get());
        }
        bulk.finish();
    } catch (...) {
        archive.reset();  // closes the stream before the file is put back
        if (!tail) {
            std::error_code ignored;
            std::filesystem::remove(archiveURL.path(), ignored);
        } else if (!tail->restore()) {
            printErrorLine(options.archive +
                           ": the archive could not be restored after the "
                           "failure below and may be damaged");
        }
        throw;
    }
    return exitSuccess;
}

}  // namespace marrowzip::tool
