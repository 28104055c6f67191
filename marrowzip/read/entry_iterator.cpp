#include <limits>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/saturating.hpp"
#include "marrowzip/format/format.hpp"
#include "marrowzip/format/text_encoding.hpp"

namespace marrowzip {
namespace {

// Reads the descriptor behind the entry's data. Its position follows from the sizes of the
// central record and its ZIP64 block; the local header's sizes are zero when it has one.
void readDataDescriptor(std::FILE* stream, Entry& entry) {
    const std::uint64_t dataSize = entry.centralDirectoryStructure.compressionMethod == 0
                                       ? entry.centralUncompressedSize()
                                       : entry.centralCompressedSize();
    const std::uint64_t position = saturatingAdd(entry.dataStart(), dataSize);
    if (entry.isZIP64()) {
        entry.zip64DataDescriptor = readRecord<DataDescriptor64>(stream, position);
    } else {
        entry.dataDescriptor = readRecord<DataDescriptor32>(stream, position);
    }
}

}  // namespace

EntryIterator::EntryIterator(const Archive& archive, std::uint64_t offset)
    : archive_(&archive), count_(archive.totalNumberOfEntries()), recordOffset_(offset) {}

std::optional<Entry> EntryIterator::next() {
    if (index_ >= count_ || stoppedAtEncryptedEntry_) return std::nullopt;
    std::FILE* stream = archive_->stream();

    // The count and every offset come from the archive: a record that cannot be read ends the
    // pass early instead of being trusted.
    auto central = readRecord<CentralDirectoryStructure>(stream, recordOffset_);
    if (!central) {
        endedEarly_ = true;
        return std::nullopt;
    }
    Entry entry;
    entry.centralDirectoryStructure = std::move(*central);
    auto local = readRecord<LocalFileHeader>(stream, entry.localHeaderOffset());
    if (!local) {
        endedEarly_ = true;
        return std::nullopt;
    }
    const std::uint64_t localHeaderLength =
        LocalFileHeader::fixedSize + std::uint64_t{local->fileNameLength} + local->extraFieldLength;
    localHeaderBytesRead_ = saturatingAdd(localHeaderBytesRead_, localHeaderLength);
    if (localHeaderBytesRead_ >
        saturatingAdd(archive_->offsetToStartOfCentralDirectory(), localHeaderSlack)) {
        endedEarly_ = true;
        return std::nullopt;
    }
    entry.localFileHeader = std::move(*local);
    const auto& record = entry.centralDirectoryStructure;
    if (record.generalPurposeBitFlag & dataDescriptorFlag) readDataDescriptor(stream, entry);

    const std::uint64_t recordLength = CentralDirectoryStructure::fixedSize +
                                       std::uint64_t{record.fileNameLength} +
                                       record.extraFieldLength + record.fileCommentLength;
    recordOffset_ = saturatingAdd(recordOffset_, recordLength);
    ++index_;

    // Encrypted data cannot be read; the pass ends here and stays ended.
    if (record.generalPurposeBitFlag & encryptedFlag) {
        endedEarly_ = true;
        stoppedAtEncryptedEntry_ = true;
        return std::nullopt;
    }
    return entry;
}

Error EntryIterator::earlyEndError(std::string archivePath) const {
    // The encrypted entry was counted but never delivered.
    const std::uint64_t delivered = stoppedAtEncryptedEntry_ ? index_ - 1 : index_;
    const std::string where = stoppedAtEncryptedEntry_ ? "an encrypted entry" : "a damaged record";
    return Error(ArchiveError::invalidCentralDirectoryEntryCount, std::move(archivePath), {},
                 "the central directory ends at " + where + " after " + std::to_string(delivered) +
                     " of " + std::to_string(count_) + " entries");
}

EntryIterator Archive::makeEntryIterator() const {
    // The directory on disk is overwritten by the entries of an open bulk append.
    refuseDuringBulkAppend("listing the entries");
    return EntryIterator(*this, offsetToStartOfCentralDirectory());
}

Archive::iterator::iterator(EntryIterator source) : source_(source) {
    current_ = source_->next();
}

Archive::iterator& Archive::iterator::operator++() {
    current_ = source_ ? source_->next() : std::nullopt;
    return *this;
}

Archive::iterator Archive::begin() const {
    return iterator(makeEntryIterator());
}

std::optional<Entry> Archive::findEntry(std::string_view path) const {
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
