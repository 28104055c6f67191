#include <memory>
#include <utility>

#include "marrowzip/common/error.hpp"
#include "marrowzip/common/saturating.hpp"
#include "marrowzip/format/format.hpp"
#include "marrowzip/format/text_encoding.hpp"
#include "marrowzip/processing/positional_window.hpp"
#include "marrowzip/read/archive_reader.hpp"

namespace marrowzip {
namespace {

// Reads the descriptor behind the entry's data. Its position follows from the sizes of the
// central record and its ZIP64 block; the local header's sizes are zero when it has one.
void readDataDescriptor(PositionalWindow& window, Entry& entry) {
    const std::uint64_t dataSize = entry.centralDirectoryStructure.compressionMethod == 0
                                       ? entry.centralUncompressedSize()
                                       : entry.centralCompressedSize();
    const std::uint64_t position = saturatingAdd(entry.dataStart(), dataSize);
    if (entry.isZIP64()) {
        entry.zip64DataDescriptor = readRecord<DataDescriptor64>(window, position);
    } else {
        entry.dataDescriptor = readRecord<DataDescriptor32>(window, position);
    }
}

}  // namespace

EntryIterator::EntryIterator(const ArchiveReader& reader, std::uint64_t offset)
    : reader_(&reader),
      centralRecords_(std::make_unique<PositionalWindow>(reader.stream())),
      localHeaders_(std::make_unique<PositionalWindow>(reader.stream())),
      count_(reader.endRecords().totalNumberOfEntries()),
      recordOffset_(offset) {}

EntryIterator::EntryIterator(EntryIterator&&) noexcept = default;
EntryIterator& EntryIterator::operator=(EntryIterator&&) noexcept = default;
EntryIterator::~EntryIterator() = default;

std::optional<Entry> EntryIterator::next() {
    std::optional<Entry> entry(std::in_place);
    if (!next(*entry)) return std::nullopt;
    return entry;
}

bool EntryIterator::next(Entry& entry) {
    if (index_ >= count_ || stoppedAtEncryptedEntry_) return false;
    // The archive's stream is replaced when a removal rewrites the file.
    centralRecords_->use(reader_->stream());
    localHeaders_->use(reader_->stream());

    // The count and every offset come from the archive: a record that cannot be read ends the
    // pass early instead of being trusted.
    entry.dataDescriptor.reset();
    entry.zip64DataDescriptor.reset();
    if (!readRecord(*centralRecords_, recordOffset_, entry.centralDirectoryStructure) ||
        !readRecord(*localHeaders_, entry.localHeaderOffset(), entry.localFileHeader)) {
        endedEarly_ = true;
        return false;
    }
    localHeaderBytesRead_ = saturatingAdd(localHeaderBytesRead_, entry.localFileHeader.length());
    if (localHeaderBytesRead_ >
        saturatingAdd(reader_->endRecords().offsetToStartOfCentralDirectory(), localHeaderSlack)) {
        endedEarly_ = true;
        return false;
    }
    const auto& record = entry.centralDirectoryStructure;
    if (record.generalPurposeBitFlag & dataDescriptorFlag)
        readDataDescriptor(*localHeaders_, entry);
    recordOffset_ = saturatingAdd(recordOffset_, record.length());
    ++index_;

    // Encrypted data cannot be read; the pass ends here and stays ended.
    if (record.generalPurposeBitFlag & encryptedFlag) {
        endedEarly_ = true;
        stoppedAtEncryptedEntry_ = true;
        encryptedEntryPath_ = entry.path();
        return false;
    }
    return true;
}

EntryInputIterator::EntryInputIterator(EntryIterator source) : source_(std::move(source)) {
    current_ = source_->next();
}

EntryInputIterator& EntryInputIterator::operator++() {
    current_ = source_ ? source_->next() : std::nullopt;
    return *this;
}

void ArchiveReader::refuseWhileDirectoryOverwritten(const char* operation) const {
    if (directoryOverwritten_) {
        throw Error(ArchiveError::unwritableArchive, displayPath(), {},
                    std::string(operation) + " is not possible while a bulk append is open");
    }
}

EntryIterator ArchiveReader::makeEntryIterator() const {
    // The directory on disk is overwritten by the entries of an open bulk append.
    refuseWhileDirectoryOverwritten("listing the entries");
    return passOverDirectory();
}

EntryIterator ArchiveReader::passOverDirectory() const {
    return EntryIterator(*this, endRecords_.offsetToStartOfCentralDirectory());
}

std::optional<Entry> ArchiveReader::findEntry(std::string_view path) const {
    const std::string wanted = normalizedNFC(path);
    EntryIterator entries = makeEntryIterator();
    while (auto entry = entries.next()) {
        const std::string name =
            pathEncoding_ ? entry->pathUsingEncoding(*pathEncoding_) : entry->path();
        if (normalizedNFC(name) == wanted) return entry;
    }
    return std::nullopt;
}

}  // namespace marrowzip
