// Removing an entry: the archive is written anew without it into a temporary archive, which then
// takes the old one's place in one step, so that the archive is always either the old or the new.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "marrowzip/common/progress.hpp"
#include "marrowzip/format/update_journal.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/memory_file.hpp"
#include "marrowzip/write/archive_writer.hpp"
#include "marrowzip/write/stream_position.hpp"

namespace marrowzip {
namespace {

// Whether `candidate` is one of `entries` not matched yet; marks it matched in `matched`.
bool matchOnce(const std::vector<Entry>& entries, std::vector<bool>& matched,
               const Entry& candidate) {
    for (std::size_t index = 0; index < entries.size(); ++index) {
        if (!matched[index] && entries[index] == candidate) {
            matched[index] = true;
            return true;
        }
    }
    return false;
}

}  // namespace

TemporaryFolder::TemporaryFolder(const std::filesystem::path& parent) {
    std::string pattern = (parent / ".marrowzip-removal-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw posixFileError(errno, pattern);
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void ArchiveWriter::removeEntries(const std::vector<Entry>& entries, std::int64_t bufferSize,
                                  Progress* progress) {
    const Replacement replacement = beginReplacement(entries, bufferSize, progress);
    commitReplacement(*replacement.copy, replacement.realPath);
}

ArchiveWriter::Replacement ArchiveWriter::beginReplacement(const std::vector<Entry>& entries,
                                                           std::int64_t bufferSize,
                                                           Progress* progress) {
    refuseDuringBulkAppend("removing an entry");
    const std::string archivePath = archivePathForErrors();
    const std::string named = entries.size() == 1 ? entries.front().path() : std::string();
    Replacement replacement;
    try {
        if (reader_.accessMode_ == AccessMode::read) throw Error(ArchiveError::unwritableArchive);
        if (bufferSize < 1) throw Error(ArchiveError::invalidBufferSize);
        ensureRemovable(entries);
        if (progress != nullptr) {
            const std::uint64_t offset = reader_.endRecords().offsetToStartOfCentralDirectory();
            std::uint64_t removed = 0;
            for (const Entry& entry : entries)
                removed += entry.localRecordLength();
            progress->setTotalUnitCount(
                static_cast<std::int64_t>(offset - std::min(offset, removed)));
        }
        if (reader_.memoryFile_) {
            replacement.copy = ArchiveReader::openMemoryFile(
                MemoryFile::make({}), AccessMode::create, reader_.pathEncoding_);
        } else {
            // An archive reached through a link is replaced where it really lies: renaming
            // over the link would turn it into a file and leave the archive unchanged.
            std::error_code unresolved;
            std::filesystem::path realPath =
                std::filesystem::canonical(reader_.url_.filesystemPath(), unresolved);
            if (unresolved) realPath = reader_.url_.filesystemPath();
            replacement.folder = std::make_unique<TemporaryFolder>(realPath.parent_path());
            replacement.realPath = realPath.string();
            OpenOptions options;
            options.pathEncoding = reader_.pathEncoding_;
            replacement.copy = ArchiveReader::openFile(
                FileURL::fromPath((replacement.folder->path() / "archive.zip").string()),
                AccessMode::create, options);
        }
        ArchiveWriter writer(*replacement.copy);
        writeArchiveWithout(entries, writer, bufferSize, progress);
    } catch (const Error& error) {
        throw error.withContext(archivePath, named);
    }
    return replacement;
}

void ArchiveWriter::commitReplacement(ArchiveReader& copy, const std::string& realPath) {
    try {
        if (copy.memoryFile_) {
            adoptMemoryArchive(copy);
        } else {
            adoptFileArchive(copy, realPath);
        }
    } catch (const Error& error) {
        throw error.withContext(archivePathForErrors());
    }
    centralDirectoryCache_.reset();
}

void ArchiveWriter::ensureRemovable(const std::vector<Entry>& entries) const {
    // The copy walks the central directory: one that ends early would drop every entry behind
    // the point where it stopped, and data before or after the archive that its records do
    // not account for would be lost.
    ensureReadableWhole("remove from it");
    // An entry of another archive (or of an older state of this one) would still make the totals
    // drop by one, leaving end records that disagree with the central directory.
    std::vector<bool> found(entries.size(), false);
    EntryIterator iterator = reader_.makeEntryIterator();
    while (auto candidate = iterator.next())
        matchOnce(entries, found, *candidate);
    if (const auto missing = std::ranges::find(found, false); missing != found.end())
        throw Error(ArchiveError::invalidEntryPath, {}, entries[missing - found.begin()].path());
}

void ArchiveWriter::writeArchiveWithout(const std::vector<Entry>& entries, ArchiveWriter& target,
                                        std::int64_t bufferSize, Progress* progress) const {
    std::FILE* out = target.reader_.stream();
    seekStream(out, 0);
    // Data before the first local record (a self-extracting stub, whose offsets count it) is
    // kept as it is.
    std::uint64_t prefixLength = reader_.endRecords().offsetToStartOfCentralDirectory();
    {
        EntryIterator iterator = reader_.makeEntryIterator();
        while (auto current = iterator.next()) {
            prefixLength = std::min(prefixLength, current->localHeaderOffset());
        }
    }
    copyArchiveBytes({.offset = 0, .length = prefixLength}, out, bufferSize, progress);

    Bytes centralDirectory;
    std::uint64_t entryCount = 0;
    std::vector<bool> removed(entries.size(), false);
    EntryIterator iterator = reader_.makeEntryIterator();
    while (auto current = iterator.next()) {
        if (matchOnce(entries, removed, *current)) continue;
        // The new offset is where the copy lands; for records that lie back to back from the
        // start of the file it is the old offset less the removed entries' local sizes.
        const std::uint64_t newOffset = streamPosition(out);
        try {
            copyArchiveBytes(
                {.offset = current->localHeaderOffset(), .length = current->localRecordLength()},
                out, bufferSize, progress);
        } catch (const Error& error) {
            if (error.code() != ArchiveError::invalidEntrySize) throw;
            throw Error(ArchiveError::invalidEntrySize, {}, current->path());
        }
        appendBytes(centralDirectory, CentralDirectoryStructure::withNewOffset(
                                          current->centralDirectoryStructure, newOffset)
                                          .serialize());
        ++entryCount;
    }
    if (iterator.endedEarly() || std::ranges::find(removed, false) != removed.end())
        throw Error(ArchiveError::invalidCentralDirectoryEntryCount);

    const std::uint64_t start = streamPosition(out);
    writeStreamChunk(centralDirectory, out);
    // The totals are counted from what was written, not derived from the old ones: a rebuilt
    // header may differ in length from the one it replaces.
    target.reader_.endRecords_ = reader_.endRecords_;
    const WrittenEndRecords written = target.writeEndOfCentralDirectory(
        entryCount, centralDirectory.size(), start, start + centralDirectory.size());
    target.reader_.endRecords_ = written.records;
    target.truncateArchive(start + centralDirectory.size() + written.bytes.size());
}

void ArchiveWriter::copyArchiveBytes(ByteRange range, std::FILE* target, std::int64_t bufferSize,
                                     Progress* progress) const {
    std::FILE* in = reader_.archiveFile_.get();
    seekStream(in, range.offset, DataError::unreadableFile);
    std::uint64_t remaining = range.length;
    while (remaining > 0) {
        if (progress != nullptr && progress->isCancelled()) {
            throw Error(ArchiveError::cancelledOperation);
        }
        const auto wanted =
            static_cast<std::int64_t>(std::min(remaining, static_cast<std::uint64_t>(bufferSize)));
        const Bytes chunk = readStreamChunk(wanted, in);
        // The sizes come from the archive: a record that runs past its end is not copied short.
        if (chunk.size() != static_cast<std::uint64_t>(wanted)) {
            throw Error(ArchiveError::invalidEntrySize);
        }
        writeStreamChunk(chunk, target);
        if (progress != nullptr) progress->addCompletedUnitCount(wanted);
        remaining -= static_cast<std::uint64_t>(wanted);
    }
}

void ArchiveWriter::adoptMemoryArchive(const ArchiveReader& temporary) {
    std::optional<Bytes> bytes = temporary.data();
    if (!bytes) throw Error(ArchiveError::unwritableArchive);
    // Opened before this archive lets go of its own stream: a failure leaves it as it was.
    const auto fresh = ArchiveReader::openMemoryFile(MemoryFile::make(std::move(*bytes)),
                                                     AccessMode::update, std::nullopt);
    reader_.archiveFile_ = std::move(fresh->archiveFile_);
    reader_.memoryFile_ = std::move(fresh->memoryFile_);
    reader_.endRecords_ = std::move(fresh->endRecords_);
}

void ArchiveWriter::adoptFileArchive(ArchiveReader& temporary, const std::string& archivePath) {
    const std::string temporaryPath = temporary.url_.path();
    std::FILE* written = temporary.archiveFile_.get();
    struct stat original {};
    if (::fstat(::fileno(reader_.archiveFile_.get()), &original) != 0) {
        throw posixFileError(errno, archivePath);
    }
    if (::fchmod(::fileno(written), original.st_mode & 07777) != 0) {
        throw posixFileError(errno, temporaryPath);
    }
    // On disk before the rename, so that a crash leaves either archive whole.
    if (std::fflush(written) != 0) throw writeFailure(temporaryPath);
    if (::fsync(::fileno(written)) != 0) throw posixFileError(errno, temporaryPath);

    // The new stream is opened before the rename: once the archive has been replaced, nothing
    // is left that could fail.
    // The buffer is declared first so that, should the rename fail, the stream is closed
    // before its buffer is freed.
    std::unique_ptr<char[]> buffer;
    UniqueFile reopened(std::fopen(temporaryPath.c_str(), "rb+"));
    if (!reopened) throw Error(ArchiveError::unreadableArchive, archivePath);
    buffer = ArchiveReader::bufferStream(reopened.get(), AccessMode::update);
    // The writers' lock passes to the new file before it takes the archive's name: a writer
    // waiting for the old file then finds it replaced and waits for this one.
    unlockFile(::fileno(written));
    lockFile(::fileno(reopened.get()), true, temporaryPath);
    if (::rename(temporaryPath.c_str(), archivePath.c_str()) != 0) {
        throw posixFileError(errno, archivePath);
    }
    // The rename itself is made durable; should that fail, the archive is already the new one.
    try {
        syncFolderOf(archivePath);
    } catch (const Error&) {
    }
    reader_.archiveFile_ = std::move(reopened);  // closes the old stream before its buffer goes
    reader_.streamBuffer_ = std::move(buffer);
    reader_.endRecords_ = temporary.endRecords_;
}

}  // namespace marrowzip
