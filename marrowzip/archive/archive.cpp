#include "marrowzip/archive/archive.hpp"

#include <exception>
#include <utility>

#include "marrowzip/archive/archive_access.hpp"
#include "marrowzip/processing/memory_file.hpp"
#include "marrowzip/write/bulk_state.hpp"

namespace marrowzip {

Archive::Archive(std::unique_ptr<ArchiveReader> reader)
    : reader_(std::move(reader)), writer_(std::make_unique<ArchiveWriter>(*reader_)) {}

Archive::Archive(Archive&& other) noexcept {
    *this = std::move(other);
}

Archive& Archive::operator=(Archive&& other) noexcept {
    if (this != &other) {
        if (writer_) writer_->endBulkAppendKeepingError();
        if (other.writer_) other.writer_->endBulkAppendKeepingError();
        writer_.reset();  // before the reader it writes through
        reader_ = std::move(other.reader_);
        writer_ = std::move(other.writer_);
    }
    return *this;
}

// The writer goes first, as declared: it may still write through the reader's stream.
Archive::~Archive() = default;

namespace {

template <typename Open>
std::optional<Archive> absentOnError(const Open& open) {
    try {
        return open();
    } catch (const Error&) {
        return std::nullopt;
    }
}

}  // namespace

Archive Archive::openFile(const FileURL& url, AccessMode mode,
                          std::optional<std::string> pathEncoding) {
    return openFile(url, mode, OpenOptions{.pathEncoding = std::move(pathEncoding)});
}

Archive Archive::openFile(const FileURL& url, AccessMode mode, const OpenOptions& options) {
    return Archive(ArchiveReader::openFile(url, mode, options));
}

Archive Archive::openMemory(Bytes data, AccessMode mode, std::optional<std::string> pathEncoding) {
    return ArchiveAccess::openMemoryFile(MemoryFile::make(std::move(data)), mode,
                                         std::move(pathEncoding));
}

Archive ArchiveAccess::openMemoryFile(std::shared_ptr<MemoryFile> file, AccessMode mode,
                                      std::optional<std::string> pathEncoding) {
    return Archive(ArchiveReader::openMemoryFile(std::move(file), mode, std::move(pathEncoding)));
}

std::optional<Archive> Archive::tryOpenFile(const FileURL& url, AccessMode mode,
                                            std::optional<std::string> pathEncoding) {
    return absentOnError([&] { return openFile(url, mode, std::move(pathEncoding)); });
}

std::optional<Archive> Archive::tryOpenMemory(Bytes data, AccessMode mode,
                                              std::optional<std::string> pathEncoding) {
    return absentOnError(
        [&] { return openMemory(std::move(data), mode, std::move(pathEncoding)); });
}

std::string archiveDisplayPath(const Archive& archive) {
    return ArchiveAccess::reader(archive).displayPath();
}

// ---- Reading ----

const FileURL& Archive::url() const noexcept {
    return reader_->url();
}
Archive::AccessMode Archive::accessMode() const noexcept {
    return reader_->accessMode();
}
const std::optional<std::string>& Archive::pathEncoding() const noexcept {
    return reader_->pathEncoding_;
}
void Archive::setPathEncoding(std::optional<std::string> encoding) {
    reader_->pathEncoding_ = std::move(encoding);
}
std::optional<Bytes> Archive::data() const {
    return reader_->data();
}
const EndOfCentralDirectoryRecord& Archive::endOfCentralDirectoryRecord() const noexcept {
    return reader_->endRecords_.endRecord;
}
const std::optional<ZIP64EndOfCentralDirectory>& Archive::zip64EndOfCentralDirectory()
    const noexcept {
    return reader_->endRecords_.zip64EndRecords;
}
std::uint64_t Archive::totalNumberOfEntries() const noexcept {
    return reader_->endRecords().totalNumberOfEntries();
}
std::uint64_t Archive::sizeOfCentralDirectory() const noexcept {
    return reader_->endRecords().sizeOfCentralDirectory();
}
std::uint64_t Archive::offsetToStartOfCentralDirectory() const noexcept {
    return reader_->endRecords().offsetToStartOfCentralDirectory();
}
EntryIterator Archive::makeEntryIterator() const {
    return reader_->makeEntryIterator();
}
std::optional<Entry> Archive::findEntry(std::string_view path) const {
    return reader_->findEntry(path);
}

Archive::iterator Archive::begin() const {
    return iterator(makeEntryIterator());
}

// Not const: extraction moves the position of the archive's stream.
// NOLINTNEXTLINE(readability-make-member-function-const)
std::uint32_t Archive::extractEntry(const Entry& entry, const EntryDataConsumer& consumer,
                                    const ExtractEntryOptions& options) {
    return reader_->extractEntry(entry, consumer, options.bufferSize, options.skipChecksum,
                                 options.progress);
}

void Archive::shareMemoryBudget(std::shared_ptr<MemoryBudget> budget) {
    reader_->memoryBudget_ = std::move(budget);
}

// ---- Writing ----

void Archive::appendEntry(std::string_view path, const ProvidedEntry& entry,
                          const EntryDataProvider& provider, const AppendOptions& options) {
    writer_->appendEntryFromSource(path, entry, options, {provider, {}, {}});
}

Archive::BulkAppend Archive::beginBulkAppend(std::int64_t bufferSize, const BulkOptions& options) {
    return BulkAppend(writer_->beginBulkAppend(bufferSize, options));
}

bool Archive::isBulkAppendOpen() const noexcept {
    return writer_->isBulkAppendOpen();
}

void Archive::removeEntry(const Entry& entry, std::int64_t bufferSize, Progress* progress) {
    writer_->removeEntries({entry}, bufferSize, progress);
}

void Archive::removeEntries(const std::vector<Entry>& entries, std::int64_t bufferSize,
                            Progress* progress) {
    writer_->removeEntries(entries, bufferSize, progress);
}

struct ArchiveReplacement::State {
    // The archive's writer, which stays where it is when the Archive itself is moved.
    ArchiveWriter* original = nullptr;
    // The folder first: the copy's stream is closed before the folder and its file go.
    std::unique_ptr<TemporaryFolder> folder;
    std::string realPath;
    std::optional<Archive> copy;
    bool committed = false;
};

ArchiveReplacement::ArchiveReplacement(std::unique_ptr<State> state) : state_(std::move(state)) {}
ArchiveReplacement::ArchiveReplacement(ArchiveReplacement&&) noexcept = default;
ArchiveReplacement& ArchiveReplacement::operator=(ArchiveReplacement&&) noexcept = default;
ArchiveReplacement::~ArchiveReplacement() = default;

Archive& ArchiveReplacement::archive() {
    if (state_->committed) {
        throw Error(ArchiveError::unwritableArchive, state_->original->archivePathForErrors(), {},
                    "the replacement has taken the archive's place already");
    }
    return *state_->copy;
}

void ArchiveReplacement::commit() {
    const Archive& copy = archive();
    if (copy.isBulkAppendOpen()) {
        throw Error(ArchiveError::unwritableArchive, state_->original->archivePathForErrors(), {},
                    "a bulk append of the replacement is still open");
    }
    state_->original->commitReplacement(ArchiveAccess::reader(copy), state_->realPath);
    state_->committed = true;
    // The copy's name is the archive's now; its stream and the emptied folder go.
    state_->copy.reset();
    state_->folder.reset();
}

Archive::Replacement Archive::beginReplacement(const std::vector<Entry>& removed,
                                               std::int64_t bufferSize, Progress* progress) {
    ArchiveWriter::Replacement written = writer_->beginReplacement(removed, bufferSize, progress);
    return Replacement(std::make_unique<Replacement::State>(
        Replacement::State{.original = writer_.get(),
                           .folder = std::move(written.folder),
                           .realPath = std::move(written.realPath),
                           .copy = Archive(std::move(written.copy))}));
}

std::string Archive::comment() const {
    return writer_->comment();
}

void Archive::setComment(std::string_view comment, std::int64_t bufferSize) {
    writer_->setComment(comment, bufferSize);
}

// ---- The bulk append's handle ----

BulkAppend& BulkAppend::operator=(BulkAppend&& other) noexcept {
    if (this != &other) {
        if (isOpen()) state_->archive->endBulkAppendKeepingError();
        state_ = std::move(other.state_);
    }
    return *this;
}

BulkAppend::~BulkAppend() {
    if (isOpen()) state_->archive->endBulkAppendKeepingError();
}

void BulkAppend::finish() {
    if (!state_) return;
    const std::shared_ptr<BulkState> state = std::move(state_);
    if (state->archive != nullptr) state->archive->endBulkAppend();
    if (state->deferredError) std::rethrow_exception(state->deferredError);
}

bool BulkAppend::isOpen() const noexcept {
    return state_ && state_->archive != nullptr;
}

}  // namespace marrowzip
