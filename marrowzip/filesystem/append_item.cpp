// Appending a file, folder or link from the file system: its type, size, date and mode are read
// from the item itself (never through a final link), and its bytes from the item.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>

#include "marrowzip/archive/archive_access.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/attributes.hpp"
#include "marrowzip/filesystem/item_source.hpp"
#include "marrowzip/processing/chunked_io.hpp"

namespace marrowzip {
namespace {

// Up to `capacity` bytes of the link's target, without a terminating NUL.
Bytes readLinkTarget(const std::string& path, std::int64_t capacity) {
    Bytes target(static_cast<std::size_t>(capacity));
    const ssize_t length =
        ::readlink(path.c_str(), reinterpret_cast<char*>(target.data()), target.size());
    if (length < 0) throw posixFileError(errno, path);
    target.resize(static_cast<std::size_t>(length));
    return target;
}

}  // namespace

ItemSource openItemSource(std::string_view path, const FileURL& itemURL,
                          const ProvidedEntry* described) {
    const std::string& itemPath = itemURL.path();
    ItemSource item;
    item.entry = described != nullptr ? *described : providedEntryOf(statusOfItem(itemURL));
    const EntryType type = item.entry.type;
    if (type != EntryType::symlink && ::access(itemPath.c_str(), R_OK) != 0) {
        throw Error(FileError::fileReadNoPermission, itemPath);
    }
    if (item.entry.uncompressedSize < 0) throw Error(FileError::fileReadTooLarge, itemPath);

    ArchiveWriter::EntrySource& source = item.source;
    source.path = itemPath;
    switch (type) {
        case EntryType::directory:
            source.provider = [](std::int64_t, std::int64_t) { return Bytes(); };
            break;
        case EntryType::symlink:
            // One byte more than the size taken: a target that grew since shows as a longer
            // answer, which the append refuses.
            source.provider = [itemPath](std::int64_t, std::int64_t wanted) {
                return readLinkTarget(itemPath, wanted + 1);
            };
            break;
        case EntryType::file: {
            // Shared by the provider and the check, which the source may outlive the call.
            std::shared_ptr<UniqueFile> file = std::make_shared<UniqueFile>(
                streamOver(openSourceDescriptor(itemPath), "rb", itemPath));
            const auto read = [file, itemPath](std::int64_t wanted) {
                try {
                    return readStreamChunk(wanted, file->get());
                } catch (const Error& error) {
                    throw error.withContext(itemPath);
                }
            };
            source.provider = [read](std::int64_t, std::int64_t wanted) { return read(wanted); };
            // A file that grew since its size was taken still has bytes to give.
            source.verifyExhausted = [read, itemPath, entryPath = std::string(path)] {
                if (!read(1).empty()) {
                    throw Error(ArchiveError::invalidEntrySize, itemPath, entryPath,
                                "the file grew while it was read");
                }
            };
            break;
        }
    }
    return item;
}

namespace {

// The item as the append takes it: as the caller described it, or as one lstat(2) tells now;
// `regular`: a regular file, whose bytes may be read on a worker.
struct TakenItem {
    ProvidedEntry entry;
    bool regular = false;
};

TakenItem takeItem(const FileURL& itemURL, const AppendOptions& options) {
    if (options.described) {
        return {*options.described, options.described->type == EntryType::file};
    }
    const struct stat status = statusOfItem(itemURL);
    return {providedEntryOf(status), S_ISREG(status.st_mode)};
}

void appendItem(ArchiveWriter& writer, std::string_view path, const FileURL& itemURL,
                const AppendOptions& options, const ProvidedEntry& taken) {
    const ItemSource item = openItemSource(path, itemURL, &taken);
    writer.appendEntryFromSource(path, item.entry, options, item.source);
}

// A regular file goes to the workers of a parallel bulk append; other items are appended at once.
void appendItemToQueue(ArchiveWriter& writer, std::string_view path, const FileURL& itemURL,
                       const AppendOptions& options) {
    Progress* const progress = options.progress;
    BulkState& bulk = *writer.openBulkState();
    std::optional<TakenItem> item;
    try {
        item = takeItem(itemURL, options);
        if (!item->regular) {
            // Folders, links and special files: their data is made on this thread.
            appendItem(writer, path, itemURL, options, item->entry);
            return;
        }
    } catch (...) {
        writer.failQueuedAppend(bulk);
    }
    // A small file joins a group, which a worker prepares, reads and compresses as a whole.
    if (writer.queueSmallFileInBulk(bulk, path, item->entry, options.compressionMethod, progress,
                                    itemURL.path())) {
        return;
    }
    ArchiveWriter::PendingEntry entry;
    UniqueFd file;
    try {
        entry = writer.prepareEntry(path, item->entry, options.compressionMethod);
        // A file read whole is opened and closed by the worker that reads it: two system
        // calls fewer per file on this thread, which every file passes through (a refusal is
        // then reported by the call that comes to write the entry, naming it). Any other is
        // opened here, once: the open is the permission check.
        if (!writer.workerOpensSource(entry)) file = openSourceDescriptor(itemURL.path());
        if (progress != nullptr) progress->setTotalUnitCount(item->entry.uncompressedSize);
    } catch (...) {
        writer.failQueuedAppend(bulk);
    }
    writer.queueFileInBulk(bulk, std::move(entry), progress, std::move(file), itemURL.path());
}

}  // namespace

void Archive::appendEntry(std::string_view path, const RelativeTo& base,
                          const AppendOptions& options) {
    appendEntry(path, base.baseURL.appendingPathComponent(path), options);
}

void Archive::appendEntry(std::string_view path, const FileURL& itemURL,
                          const AppendOptions& options) {
    ArchiveWriter& writer = ArchiveAccess::writer(*this);
    const ArchiveWriter::BulkFailureGuard bulkGuard(writer);
    if (accessMode() == AccessMode::read) {
        throw Error(ArchiveError::unwritableArchive, url().displayPath(), std::string(path));
    }
    if (writer.bulkQueue() != nullptr) {
        appendItemToQueue(writer, path, itemURL, options);
        return;
    }
    appendItem(writer, path, itemURL, options, takeItem(itemURL, options).entry);
}

}  // namespace marrowzip
