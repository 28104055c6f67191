// The engine's handle on one ZIP archive, held in a file or in a byte buffer in memory.
// Constructing it opens the stream and finds the end records; destroying it closes the stream.
// It delegates to the archive's reader and writer (read/, write/).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "marrowzip/archive/bulk_append.hpp"
#include "marrowzip/archive/replacement.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/types.hpp"
#include "marrowzip/format/entry.hpp"
#include "marrowzip/read/entry_iterator.hpp"
#include "marrowzip/write/append_options.hpp"

namespace marrowzip {

class ArchiveReader;
class ArchiveWriter;
class MemoryBudget;
class Progress;
struct ArchiveAccess;

// How an entry is extracted (a link outside its folder: the file-system form only), e.g.
// `archive.extractEntry(entry, url, {.skipChecksum = true, .progress = &progress})`.
struct ExtractEntryOptions {
    std::int64_t bufferSize = defaultChunkSize;
    bool skipChecksum = false;
    bool allowLinksOutside = false;
    Progress* progress = nullptr;
};

class Archive {
public:
    using AccessMode = marrowzip::AccessMode;
    using OpenOptions = marrowzip::OpenOptions;
    using BulkOptions = marrowzip::BulkOptions;
    using BulkAppend = marrowzip::BulkAppend;
    using Replacement = ArchiveReplacement;

    // Opens (or, with `create`, first creates: never over an existing file) a ZIP file; see
    // entry_iterator.hpp for the locks and the recovery of a killed update.
    // `pathEncoding` is an optional ICU converter name used to decode names for lookup.
    static Archive openFile(const FileURL& url, AccessMode mode,
                            std::optional<std::string> pathEncoding = std::nullopt);
    static Archive openFile(const FileURL& url, AccessMode mode, const OpenOptions& options);
    // Opens a byte buffer as an archive; its URL is "memory:/".
    static Archive openMemory(Bytes data, AccessMode mode,
                              std::optional<std::string> pathEncoding = std::nullopt);
    // The same, answering absent instead of throwing.
    static std::optional<Archive> tryOpenFile(
        const FileURL& url, AccessMode mode,
        std::optional<std::string> pathEncoding = std::nullopt);
    static std::optional<Archive> tryOpenMemory(
        Bytes data, AccessMode mode, std::optional<std::string> pathEncoding = std::nullopt);

    // Moving or destroying the archive ends an open bulk append first (an error then waits for
    // BulkAppend::finish()).
    Archive(Archive&& other) noexcept;
    Archive& operator=(Archive&& other) noexcept;
    ~Archive();

    const FileURL& url() const noexcept;
    AccessMode accessMode() const noexcept;
    const std::optional<std::string>& pathEncoding() const noexcept;
    void setPathEncoding(std::optional<std::string> encoding);
    // A copy of the current bytes of an in-memory archive; absent for a file archive.
    std::optional<Bytes> data() const;

    const EndOfCentralDirectoryRecord& endOfCentralDirectoryRecord() const noexcept;
    const std::optional<ZIP64EndOfCentralDirectory>& zip64EndOfCentralDirectory() const noexcept;
    // The central directory totals, from the ZIP64 end record when there is one.
    std::uint64_t totalNumberOfEntries() const noexcept;
    std::uint64_t sizeOfCentralDirectory() const noexcept;
    std::uint64_t offsetToStartOfCentralDirectory() const noexcept;

    EntryIterator makeEntryIterator() const;
    // The first entry whose decoded path (with pathEncoding when set) is canonically equal.
    std::optional<Entry> findEntry(std::string_view path) const;

    using iterator = EntryInputIterator;
    iterator begin() const;
    iterator end() const { return iterator(); }

    // Adds a file, folder or link from the file system under `path`.
    void appendEntry(std::string_view path, const FileURL& itemURL,
                     const AppendOptions& options = {});
    // The same with the item at `baseURL` + `path`.
    struct RelativeTo {
        FileURL baseURL;
    };
    void appendEntry(std::string_view path, const RelativeTo& base,
                     const AppendOptions& options = {});
    // Adds an entry whose bytes come from `provider`.
    void appendEntry(std::string_view path, const ProvidedEntry& entry,
                     const EntryDataProvider& provider, const AppendOptions& options = {});

    // Delivers an entry's bytes to `consumer`; returns their CRC-32 (0 with skipChecksum).
    std::uint32_t extractEntry(const Entry& entry, const EntryDataConsumer& consumer,
                               const ExtractEntryOptions& options = {});
    // Threads that extract from their own Archive of one file share one budget: an entry is
    // inflated as a whole only while its buffers fit in it. Without one, the archive keeps to
    // the whole-buffer limit of one entry.
    void shareMemoryBudget(std::shared_ptr<MemoryBudget> budget);
    // Creates the entry as a new file, folder or link at `destination`.
    std::uint32_t extractEntry(const Entry& entry, const FileURL& destination,
                               const ExtractEntryOptions& options = {});

    // A run of appends that writes the central directory once, at its end (bulk_append.hpp).
    // Throws for a read-only archive and while another bulk append is open.
    [[nodiscard]] BulkAppend beginBulkAppend(std::int64_t bufferSize = defaultChunkSize,
                                             const BulkOptions& options = {});
    bool isBulkAppendOpen() const noexcept;

    // Rewrites the archive without `entry`, through a temporary archive that takes its place.
    void removeEntry(const Entry& entry, std::int64_t bufferSize = defaultChunkSize,
                     Progress* progress = nullptr);
    // The same for several entries at once: all of them go, in one replacement, or none.
    void removeEntries(const std::vector<Entry>& entries,
                       std::int64_t bufferSize = defaultChunkSize, Progress* progress = nullptr);
    // An update of several steps that lands whole or not at all (replacement.hpp).
    [[nodiscard]] Replacement beginReplacement(const std::vector<Entry>& removed = {},
                                               std::int64_t bufferSize = defaultChunkSize,
                                               Progress* progress = nullptr);

    // The archive comment, stored in the end record: its bytes as they are (most writers use
    // UTF-8 or plain ASCII).
    std::string comment() const;
    // Rewrites the central directory and end records with `comment` (at most 65535 bytes, and
    // never the end record's signature, which would mislead a reader searching for it), under
    // the same journal as an append: a failure leaves the archive as it was.
    void setComment(std::string_view comment, std::int64_t bufferSize = defaultChunkSize);

private:
    friend struct ArchiveAccess;
    explicit Archive(std::unique_ptr<ArchiveReader> reader);

    // The reader first: the writer, destroyed before it, still writes through its stream.
    std::unique_ptr<ArchiveReader> reader_;
    std::unique_ptr<ArchiveWriter> writer_;
};

}  // namespace marrowzip
