#include "marrowzip/filesystem/stream_writer.hpp"

#include <algorithm>

#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/item_source.hpp"
#include "marrowzip/format/format.hpp"
#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/write/append_coders.hpp"
#include "marrowzip/write/append_limits.hpp"

namespace marrowzip {
namespace {

// The descriptor's width follows the local header: a reader that meets the entry in the stream
// reads 64-bit sizes exactly when the header has a ZIP64 block, and the central record (made
// from the same header) then counts as ZIP64 for a reader that starts from the directory.
template <typename Descriptor>
Bytes dataDescriptorOf(const ArchiveWriter::PendingEntry& entry,
                       const ArchiveWriter::EntryDataResult& result) {
    using Size = decltype(Descriptor::compressedSize);
    Descriptor descriptor;
    descriptor.crc32 = result.crc32;
    descriptor.compressedSize = static_cast<Size>(result.written);
    descriptor.uncompressedSize = static_cast<Size>(entry.uncompressedSize);
    return descriptor.serialize();
}

}  // namespace

ArchiveStreamWriter::ArchiveStreamWriter(UniqueFile sink, FileURL name, Options options)
    : reader_(std::move(name), AccessMode::create, std::nullopt),
      writer_(reader_),
      options_(std::move(options)) {
    const std::string archivePath = writer_.archivePathForErrors();
    if (options_.bufferSize < 1) throw Error(ArchiveError::invalidBufferSize, archivePath);
    if (options_.level < 0 || options_.level > smallestCompressionLevel) {
        throw Error(ArchiveError::invalidCompressionMethod, archivePath, {},
                    "the compression level lies outside 0 to 9");
    }
    ArchiveWriter::checkComment(options_.comment, archivePath);
    EndOfCentralDirectoryRecord& endRecord = reader_.endRecords_.endRecord;
    endRecord.zipFileCommentData = Bytes(options_.comment.begin(), options_.comment.end());
    endRecord.zipFileCommentLength = static_cast<std::uint16_t>(options_.comment.size());
    coders_ = std::make_unique<AppendCoders>(options_.level == 0 ? defaultCompressionLevel
                                                                 : options_.level);
    reader_.archiveFile_ = std::move(sink);
}

ArchiveStreamWriter::~ArchiveStreamWriter() = default;

void ArchiveStreamWriter::write(ByteView bytes) {
    if (bytes.empty()) return;
    offset_ += writeStreamChunk(bytes, reader_.archiveFile_.get());
}

void ArchiveStreamWriter::refuseAfterFailure(std::string_view path) const {
    if (failed_ || finished_) {
        throw Error(ArchiveError::unwritableArchive, writer_.archivePathForErrors(),
                    std::string(path),
                    finished_ ? "the archive is finished" : "an earlier entry failed");
    }
}

void ArchiveStreamWriter::appendEntry(std::string_view path, const FileURL& itemURL,
                                      Progress* progress) {
    refuseAfterFailure(path);
    const std::string archivePath = writer_.archivePathForErrors();
    ItemSource item = openItemSource(path, itemURL);
    PendingEntry entry = writer_.prepareEntry(
        path, item.entry,
        options_.level == 0 ? CompressionMethod::none : CompressionMethod::deflate);
    if (progress != nullptr) progress->setTotalUnitCount(entry.progressUnits());
    const std::uint64_t headerOffset = offset_;
    try {
        const LocalFileHeader header =
            entry.uncompressedSize <= static_cast<std::uint64_t>(options_.bufferSize)
                ? writeBufferedEntry(entry, std::move(item.source), progress)
                : writeEntryWithDescriptor(entry, item.source, progress);
        appendBytes(
            centralRecords_,
            ArchiveWriter::makeCentralDirectoryRecord(header, headerOffset, entry).serialize());
        ++entryCount_;
    } catch (const Error& error) {
        // Whatever went out of the entry cannot be taken back.
        failed_ = offset_ != headerOffset;
        throw error.withContext(archivePath, entry.path);
    }
}

LocalFileHeader ArchiveStreamWriter::writeBufferedEntry(PendingEntry& entry,
                                                        ArchiveWriter::EntrySource source,
                                                        Progress* progress) {
    ArchiveWriter::HeldData held =
        writer_.holdEntryData(entry, options_.bufferSize, progress, std::move(source), *coders_,
                              options_.storeIfNotSmaller);
    LocalFileHeader header =
        ArchiveWriter::makeLocalFileHeader(entry, held.result.written, held.result.crc32);
    write(header.serialize());
    write(held.bytes);
    return header;
}

LocalFileHeader ArchiveStreamWriter::writeEntryWithDescriptor(
    const PendingEntry& entry, const ArchiveWriter::EntrySource& source, Progress* progress) {
    // Bit 3: the CRC-32 and sizes of the local header are zero, in its ZIP64 block too; the
    // descriptor behind the data holds them.
    LocalFileHeader header = ArchiveWriter::makeLocalFileHeader(entry, 0, 0);
    header.generalPurposeBitFlag |= dataDescriptorFlag;
    if (header.zip64Block) {
        // The block still holds both sizes, as zeros: a reader of the stream takes the
        // header's 0xFFFFFFFF to mean that the block has them. (Serialized, a pair of zero
        // sizes would be left out.) The new header's extra field begins with the block.
        std::fill_n(header.extraFieldData.begin() + 4, 16, std::uint8_t{0});
        header.zip64Block->uncompressedSize = 0;
    } else {
        header.uncompressedSize = 0;
    }
    write(header.serialize());

    const ArchiveWriter::EntryDataResult result =
        writer_.writeEntryData(entry, options_.bufferSize, progress, source, *coders_,
                               [this](ByteView chunk) { write(chunk); });
    if (source.verifyExhausted) source.verifyExhausted();
    // A 32-bit descriptor would not hold such a size either.
    writer_.refuseOutgrownSizes(entry, result.written);
    write(entry.zip64Sizes ? dataDescriptorOf<DataDescriptor64>(entry, result)
                           : dataDescriptorOf<DataDescriptor32>(entry, result));

    LocalFileHeader complete =
        ArchiveWriter::makeLocalFileHeader(entry, result.written, result.crc32);
    complete.generalPurposeBitFlag |= dataDescriptorFlag;
    return complete;
}

void ArchiveStreamWriter::finish() {
    refuseAfterFailure({});
    const std::string archivePath = writer_.archivePathForErrors();
    try {
        const std::uint64_t start = offset_;
        write(centralRecords_);
        const ArchiveWriter::WrittenEndRecords written =
            writer_.writeEndOfCentralDirectory(entryCount_, centralRecords_.size(), start, offset_);
        offset_ += written.bytes.size();
        if (std::fflush(reader_.archiveFile_.get()) != 0) throw writeFailure();
    } catch (const Error& error) {
        failed_ = true;
        throw error.withContext(archivePath);
    }
    finished_ = true;
}

}  // namespace marrowzip
