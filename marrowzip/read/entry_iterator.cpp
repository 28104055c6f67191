#include <array>
#include <memory>
#include <utility>

#include "marrowzip/common/error.hpp"
#include "marrowzip/common/saturating.hpp"
#include "marrowzip/format/format.hpp"
#include "marrowzip/format/text_encoding.hpp"
#include "marrowzip/processing/file_position.hpp"
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

// The fixed part of a local header whose fields are all zero.
constexpr std::array<std::uint8_t, LocalFileHeader::fixedSize> emptyLocalHeader = {0x50, 0x4b, 3,
                                                                                   4};

// An entry whose local records are not read has none: an empty local header (whose buffers
// stay for the next entry) and no descriptor.
void forgetLocalRecords(Entry& entry) {
    LocalFileHeader& header = entry.localFileHeader;
    header.fileNameData.clear();
    header.extraFieldData.clear();
    header.zip64Block.reset();
    LocalFileHeader::parseFixedPart(emptyLocalHeader, header);
    entry.dataDescriptor.reset();
    entry.zip64DataDescriptor.reset();
}

}  // namespace

std::uint64_t localHeaderAllowance(const EndRecords& endRecords) noexcept {
    return saturatingAdd(endRecords.offsetToStartOfCentralDirectory(), std::uint64_t{1} << 20);
}

bool takeLocalHeaderBytes(std::uint64_t& left, std::uint64_t length) noexcept {
    if (length > left) return false;
    left -= length;
    return true;
}

bool readLocalRecords(PositionalWindow& window, Entry& entry, std::size_t tailLimit) {
    const std::uint64_t offset = entry.localHeaderOffset();
    LocalFileHeader& header = entry.localFileHeader;
    entry.dataDescriptor.reset();
    entry.zip64DataDescriptor.reset();
    if (tailLimit == wholeLocalHeader) {
        if (!readRecord(window, offset, header)) return false;
    } else {
        const ByteView fixedPart =
            fitsFilePosition(offset) ? window.read(offset, LocalFileHeader::fixedSize) : ByteView();
        if (!LocalFileHeader::parseFixedPart(fixedPart, header) ||
            (header.length() - LocalFileHeader::fixedSize <= tailLimit &&
             !readRecord(window, offset, header))) {
            return false;
        }
    }
    if (entry.centralDirectoryStructure.generalPurposeBitFlag & dataDescriptorFlag)
        readDataDescriptor(window, entry);
    return true;
}

EntryIterator::EntryIterator(const ArchiveReader& reader, std::uint64_t offset)
    : reader_(&reader),
      centralRecords_(std::make_unique<PositionalWindow>(reader.stream())),
      localHeaders_(std::make_unique<PositionalWindow>(reader.stream())),
      count_(reader.endRecords().totalNumberOfEntries()),
      recordOffset_(offset),
      localHeaderBytesLeft_(localHeaderAllowance(reader.endRecords())) {}

EntryIterator::EntryIterator(EntryIterator&&) noexcept = default;
EntryIterator& EntryIterator::operator=(EntryIterator&&) noexcept = default;
EntryIterator::~EntryIterator() = default;

std::optional<Entry> EntryIterator::next() {
    std::optional<Entry> entry(std::in_place);
    if (!next(*entry)) return std::nullopt;
    return entry;
}

void EntryIterator::endBefore(std::uint64_t index) noexcept {
    endedEarly_ = true;
    stoppedAtEncryptedEntry_ = false;
    index_ = index;
}

bool EntryIterator::next(Entry& entry) {
    if (index_ >= count_ || endedEarly_) return false;
    // The archive's stream is replaced when a removal rewrites the file.
    centralRecords_->use(reader_->stream());
    localHeaders_->use(reader_->stream());

    // The count and every offset come from the archive: a record that cannot be read ends the
    // pass early instead of being trusted.
    if (!readRecord(*centralRecords_, recordOffset_, entry.centralDirectoryStructure) ||
        (localRecords_ &&
         (!readLocalRecords(*localHeaders_, entry, wholeLocalHeader) ||
          !takeLocalHeaderBytes(localHeaderBytesLeft_, entry.localFileHeader.length())))) {
        endedEarly_ = true;
        return false;
    }
    if (!localRecords_) forgetLocalRecords(entry);
    const auto& record = entry.centralDirectoryStructure;
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
