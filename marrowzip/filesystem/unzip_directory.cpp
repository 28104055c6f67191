#include "marrowzip/filesystem/unzip_directory.hpp"

#include <cstdint>
#include <limits>
#include <memory>
#include <thread>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/common/saturating.hpp"
#include "marrowzip/filesystem/attributes.hpp"
#include "marrowzip/filesystem/extraction_folder.hpp"
#include "marrowzip/filesystem/parallel_extraction.hpp"
#include "marrowzip/processing/memory_budget.hpp"
#include "marrowzip/read/local_record_ranges.hpp"

namespace marrowzip {
namespace {

std::string decodedPath(const Entry& entry, const std::optional<std::string>& pathEncoding) {
    return pathEncoding ? entry.pathUsingEncoding(*pathEncoding) : entry.path();
}

// A folder has no data; bytes stored for one are ignored, as other readers do, and so is their
// checksum (the folder is what the entry stands for).
bool folderCarriesData(const Entry& entry) {
    return entry.type() == EntryType::directory && entry.centralCompressedSize() > 0;
}

void warnOfFolderData(const Entry& entry, const std::string& archivePath, const std::string& path,
                      const UnzipOptions& options) {
    if (!options.warn) return;
    options.warn({archivePath, path,
                  "the folder entry carries " + std::to_string(entry.centralCompressedSize()) +
                      " bytes of data, which were ignored"});
}

void extractEveryEntry(Archive& archive, ExtractionFolder& folder, const FileURL& source,
                       const UnzipOptions& options, Progress* progress) {
    EntryIterator entries = archive.makeEntryIterator();
    // Each entry must have bytes of its own: shared local data would let a small archive
    // fill the disk many times over.
    LocalRecordRanges ranges(archive);
    // Files go to worker threads: creating them in the kernel and inflating them both take
    // their share, and both spread over the cores.
    std::optional<ParallelExtraction> parallel;
    const std::size_t workers =
        options.workers != 0 ? options.workers : std::thread::hardware_concurrency();
    const auto budget = std::make_shared<MemoryBudget>(options.memoryBudget);
    archive.shareMemoryBudget(budget);
    if (workers > 1 && source.isFileURL()) {
        parallel.emplace(source, options.pathEncoding, folder, options.skipChecksum, workers,
                         budget);
    }
    while (const auto entry = entries.next()) {
        try {
            const std::string path = decodedPath(*entry, options.pathEncoding);
            ranges.claim(*entry, source.path(), path);
            std::shared_ptr<Progress> child;
            if (progress != nullptr) {
                const std::int64_t units = entry->progressUnits();
                child = progress->makeChild(units, units);
            }
            if (parallel && entry->type() == EntryType::file) {
                parallel->extractFile(*entry, path, std::move(child));
                continue;
            }
            if (parallel) parallel->finishFiles();
            const std::uint32_t checksum =
                folder.extract(archive, *entry, path, defaultChunkSize, options.skipChecksum,
                               options.allowLinksOutside, child.get());
            if (folderCarriesData(*entry)) {
                warnOfFolderData(*entry, source.path(), path, options);
                continue;
            }
            if (!options.skipChecksum && checksum != entry->checksum()) {
                throw Error(ArchiveError::invalidCRC32, source.path(), path);
            }
        } catch (...) {
            // The files queued before this entry come first: a failure among them is the one
            // to report.
            if (parallel) parallel->finishFiles();
            throw;
        }
    }
    if (parallel) parallel->finishFiles();
    // The pass stops silently at a damaged record or an encrypted entry; the entries behind it
    // are missing, and that must not pass for a complete extraction.
    if (entries.endedEarly()) throw entries.earlyEndError(source.path());
}

}  // namespace

bool liesWithin(const FileURL& candidate, const FileURL& base) {
    const std::string baseText =
        FileURL::fromPath(base.path(), true).standardized().absoluteString();
    const std::string candidateText =
        FileURL::fromPath(candidate.path()).standardized().absoluteString();
    return candidateText.starts_with(baseText);
}

std::int64_t readingUnitCount(const Archive& archive) {
    std::int64_t total = 0;
    for (const Entry& entry : archive)
        total = addUnits(total, entry.progressUnits());
    return total;
}

// From a source to a destination, in the order of every copy; the public interface.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
void unzipArchiveToDirectory(const FileURL& source, const FileURL& destination,
                             const UnzipOptions& options, Progress* progress) {
    if (!isReachable(source)) throw Error(FileError::fileReadNoSuchFile, source.path());
    Archive archive = Archive::openFile(source, Archive::AccessMode::read, options.pathEncoding);
    if (progress != nullptr) progress->setTotalUnitCount(readingUnitCount(archive));
    ExtractionFolder folder(destination, options.keepSpecialBits);
    try {
        extractEveryEntry(archive, folder, source, options, progress);
    } catch (...) {
        // The folders extracted so far still get their attributes; the first failure is the
        // one to report.
        try {
            folder.finishFolderTimes();
        } catch (const Error&) {
        }
        throw;
    }
    folder.finishFolderTimes();
}

void unzipArchiveToDirectory(const FileURL& source, const FileURL& destination, bool skipChecksum,
                             bool allowLinksOutside, Progress* progress,
                             const std::optional<std::string>& pathEncoding) {
    UnzipOptions options;
    options.skipChecksum = skipChecksum;
    options.allowLinksOutside = allowLinksOutside;
    options.pathEncoding = pathEncoding;
    unzipArchiveToDirectory(source, destination, options, progress);
}

}  // namespace marrowzip
