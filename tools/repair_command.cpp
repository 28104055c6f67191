// marrowzip repair DAMAGED OUT
//
// Salvages what a damaged archive still holds: its local records are scanned front to back,
// and every entry whose data is complete and whose CRC-32 checks goes into a new archive. Names,
// times and attributes come from the central directory where it survives, else from the local
// records. DAMAGED is only read; OUT must not exist.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>

#include "commands.hpp"
#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/unique_fd.hpp"
#include "marrowzip/common/unique_file.hpp"
#include "marrowzip/format/format.hpp"
#include "marrowzip/format/text_encoding.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/deflate.hpp"
#include "marrowzip/processing/dos_date.hpp"

namespace marrowzip::tool {
namespace {

constexpr std::size_t blockSize = std::size_t{1} << 16;
// DEFLATE cannot expand data by more than this factor: the bound on an entry whose size is
// known only from the descriptor behind it.
constexpr std::uint64_t largestDeflateRatio = 1032;
constexpr std::uint8_t unixHost = 3;

std::uint32_t le32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

std::uint64_t le64(const std::uint8_t* bytes) {
    return std::uint64_t{le32(bytes)} | std::uint64_t{le32(bytes + 4)} << 32;
}

// The damaged file, read by position.
class Source {
public:
    explicit Source(const std::string& path)
        : path_(path), stream_(std::fopen(path.c_str(), "rb")) {
        if (!stream_) throw posixFileError(errno, path);
        struct ::stat status {};
        if (::fstat(::fileno(stream_.get()), &status) != 0) throw posixFileError(errno, path);
        length_ = static_cast<std::uint64_t>(status.st_size);
    }

    std::uint64_t length() const noexcept { return length_; }
    std::FILE* stream() const noexcept { return stream_.get(); }

    // Up to `size` bytes at `offset` (fewer at the end of the file).
    Bytes read(std::uint64_t offset, std::size_t size) const {
        Bytes bytes(static_cast<std::size_t>(
            std::min<std::uint64_t>(size, length_ - std::min(offset, length_))));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::pread(::fileno(stream_.get()), bytes.data() + done,
                                      bytes.size() - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw posixFileError(errno, path_);
            if (n == 0) break;
            done += static_cast<std::size_t>(n);
        }
        bytes.resize(done);
        return bytes;
    }

    // The offset of the next `signature` at or after `from`.
    std::optional<std::uint64_t> find(std::uint32_t signature, std::uint64_t from) const {
        while (from + 4 <= length_) {
            const Bytes block = read(from, blockSize + 3);
            for (std::size_t i = 0; i + 4 <= block.size(); ++i) {
                if (le32(block.data() + i) == signature) return from + i;
            }
            from += blockSize;
        }
        return std::nullopt;
    }

private:
    std::string path_;
    UniqueFile stream_;
    std::uint64_t length_ = 0;
};

struct Inflated {
    std::uint64_t consumed = 0;  // compressed bytes up to the end of the DEFLATE stream
    std::uint64_t produced = 0;
    std::uint32_t crc32 = 0;
};

// How far an inflation may go: bytes read and bytes made.
struct InflateLimits {
    std::uint64_t input = 0;
    std::uint64_t output = 0;
};

// Inflates the DEFLATE stream at `offset`, handing its output to `sink`; absent when the stream
// is damaged, reads more than the input limit or makes more than the output limit.

std::optional<Inflated> inflateAt(const Source& source, std::uint64_t offset,
                                  const InflateLimits& limits, const EntryDataConsumer& sink) {
    DeflateCoder coder(CoderDirection::decode);
    Inflated result;
    Bytes output(blockSize);
    Bytes input;
    DeflateCoder::Buffers buffers;
    for (;;) {
        if (buffers.inputLeft == 0) {
            const auto wanted = static_cast<std::size_t>(
                std::min<std::uint64_t>(blockSize, limits.input - result.consumed));
            input = source.read(offset + result.consumed, wanted);
            buffers.input = input.data();
            buffers.inputLeft = input.size();
        }
        const std::size_t given = buffers.inputLeft;
        buffers.output = output.data();
        buffers.outputLeft = output.size();
        const auto status = coder.process(buffers, input.size() < blockSize);
        result.consumed += given - buffers.inputLeft;
        if (status == DeflateCoder::Status::error) return std::nullopt;
        const ByteView produced(output.data(), output.size() - buffers.outputLeft);
        if (produced.size() > limits.output - result.produced) return std::nullopt;
        result.produced += produced.size();
        result.crc32 = updateCRC32(produced, result.crc32);
        sink(produced);
        if (status == DeflateCoder::Status::end) return result;
    }
}

// An entry found in the damaged file, its data checked.
struct Salvaged {
    std::uint64_t offset = 0;  // of its local header
    LocalFileHeader header;
    std::uint64_t dataStart = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    std::uint32_t crc32 = 0;
    std::uint64_t end = 0;  // behind its data (and descriptor)
};

// What the descriptor behind `dataEnd` says, when it agrees with the data: with or without its
// signature, with 32-bit or 64-bit sizes.
std::optional<std::uint64_t> descriptorEnd(const Source& source, std::uint64_t dataEnd,
                                           std::uint32_t crc32, std::uint64_t compressed,
                                           std::uint64_t uncompressed) {
    const Bytes bytes = source.read(dataEnd, 24);
    for (const bool signed_ : {true, false}) {
        const std::size_t at = signed_ ? 4 : 0;
        if (signed_ && (bytes.size() < 4 || le32(bytes.data()) != DataDescriptor32::signature))
            continue;
        if (bytes.size() >= at + 12 && le32(bytes.data() + at) == crc32 &&
            le32(bytes.data() + at + 4) == compressed &&
            le32(bytes.data() + at + 8) == static_cast<std::uint32_t>(uncompressed)) {
            return dataEnd + at + 12;
        }
        if (bytes.size() >= at + 20 && le32(bytes.data() + at) == crc32 &&
            le64(bytes.data() + at + 4) == compressed &&
            le64(bytes.data() + at + 12) == uncompressed) {
            return dataEnd + at + 20;
        }
    }
    return std::nullopt;
}

// A stored entry with a descriptor: its end is the first descriptor signature where the CRC-32
// and the size of the bytes before it match.
std::optional<Salvaged> storedWithDescriptor(const Source& source, Salvaged entry) {
    std::uint32_t crc32 = 0;
    std::uint64_t checkedTo = entry.dataStart;
    for (std::uint64_t from = entry.dataStart;;) {
        const auto found = source.find(DataDescriptor32::signature, from);
        if (!found) return std::nullopt;
        while (checkedTo < *found) {
            const Bytes bytes = source.read(
                checkedTo,
                static_cast<std::size_t>(std::min<std::uint64_t>(blockSize, *found - checkedTo)));
            crc32 = updateCRC32(bytes, crc32);
            checkedTo += bytes.size();
        }
        const std::uint64_t size = *found - entry.dataStart;
        if (auto end = descriptorEnd(source, *found, crc32, size, size)) {
            entry.compressedSize = entry.uncompressedSize = size;
            entry.crc32 = crc32;
            entry.end = *end;
            return entry;
        }
        from = *found + 1;
    }
}

// The entry whose local header lies at `offset`, when its data is whole and checks.
std::optional<Salvaged> salvageAt(const Source& source, std::uint64_t offset,
                                  const std::optional<CentralDirectoryStructure>& central) {
    auto header = readRecord<LocalFileHeader>(source.stream(), offset);
    if (!header || (header->generalPurposeBitFlag & encryptedFlag) != 0) return std::nullopt;
    const std::uint16_t method = header->compressionMethod;
    if (method != 0 && method != 8) return std::nullopt;
    Salvaged entry;
    entry.offset = offset;
    entry.dataStart =
        offset + LocalFileHeader::fixedSize + header->fileNameLength + header->extraFieldLength;
    entry.header = std::move(*header);
    if (entry.dataStart > source.length()) return std::nullopt;
    const std::uint64_t available = source.length() - entry.dataStart;
    const EntryDataConsumer ignore = [](ByteView) {};

    if ((entry.header.generalPurposeBitFlag & dataDescriptorFlag) == 0) {
        entry.crc32 = entry.header.crc32;
        entry.compressedSize = entry.header.compressedSize;
        entry.uncompressedSize = entry.header.uncompressedSize;
        if (entry.header.compressedSize == sentinel32 ||
            entry.header.uncompressedSize == sentinel32) {
            if (!entry.header.zip64Block) return std::nullopt;
            entry.compressedSize = entry.header.zip64Block->compressedSize;
            entry.uncompressedSize = entry.header.zip64Block->uncompressedSize;
        }
        if (entry.compressedSize > available) return std::nullopt;  // cut short
        entry.end = entry.dataStart + entry.compressedSize;
        if (method == 0) {
            if (entry.compressedSize != entry.uncompressedSize) return std::nullopt;
            std::uint32_t crc32 = 0;
            for (std::uint64_t at = entry.dataStart; at < entry.end;) {
                const Bytes bytes = source.read(
                    at,
                    static_cast<std::size_t>(std::min<std::uint64_t>(blockSize, entry.end - at)));
                if (bytes.empty()) return std::nullopt;
                crc32 = updateCRC32(bytes, crc32);
                at += bytes.size();
            }
            return crc32 == entry.crc32 ? std::optional(entry) : std::nullopt;
        }
        const auto inflated =
            inflateAt(source, entry.dataStart,
                      {.input = entry.compressedSize, .output = entry.uncompressedSize}, ignore);
        if (!inflated || inflated->produced != entry.uncompressedSize ||
            inflated->crc32 != entry.crc32) {
            return std::nullopt;
        }
        return entry;
    }
    if (method == 0) return storedWithDescriptor(source, entry);
    // A deflated entry with a descriptor ends where its DEFLATE stream does. Its size is known
    // only from the surviving central directory, else bounded by what DEFLATE can expand to.
    const std::uint64_t outputLimit =
        central ? std::uint64_t{central->uncompressedSize} == sentinel32 ? UINT64_MAX
                                                                         : central->uncompressedSize
                : (available > UINT64_MAX / largestDeflateRatio ? UINT64_MAX
                                                                : available * largestDeflateRatio);
    const auto inflated =
        inflateAt(source, entry.dataStart, {.input = available, .output = outputLimit}, ignore);
    if (!inflated) return std::nullopt;
    const auto end = descriptorEnd(source, entry.dataStart + inflated->consumed, inflated->crc32,
                                   inflated->consumed, inflated->produced);
    if (!end) return std::nullopt;
    entry.compressedSize = inflated->consumed;
    entry.uncompressedSize = inflated->produced;
    entry.crc32 = inflated->crc32;
    entry.end = *end;
    return entry;
}

// The central directory records that survive, by the offset of their local header.
std::map<std::uint64_t, CentralDirectoryStructure> survivingDirectory(const std::string& path) {
    std::map<std::uint64_t, CentralDirectoryStructure> records;
    try {
        const Archive archive =
            Archive::openFile(FileURL::fromPath(path), Archive::AccessMode::read);
        EntryIterator entries = archive.makeEntryIterator();
        while (auto entry = entries.next()) {
            records.emplace(entry->localHeaderOffset(), entry->centralDirectoryStructure);
        }
    } catch (const Error&) {
        // No end records, or none that lead anywhere: the local records are all there is.
    }
    return records;
}

std::string nameOf(const Bytes& name, std::uint16_t flag) {
    if (auto utf8 = decodeUTF8(name);
        utf8 && ((flag & 0x0800) != 0 || utf8->find('\0') == std::string::npos)) {
        return *utf8;
    }
    return decodeCP437(name);
}

// Appends a checked entry to the new archive: stored bytes are copied, deflated ones inflated
// again on the way (the new archive deflates them afresh).
void appendSalvaged(Archive& out, const Source& source, const Salvaged& entry,
                    const std::optional<CentralDirectoryStructure>& central) {
    const Bytes& rawName = central ? central->fileNameData : entry.header.fileNameData;
    std::string name = nameOf(
        rawName, central ? central->generalPurposeBitFlag : entry.header.generalPurposeBitFlag);
    EntryType type = name.ends_with('/') ? EntryType::directory : EntryType::file;
    std::optional<std::uint16_t> permissions;
    if (central && (central->versionMadeBy >> 8) == unixHost) {
        const auto mode = static_cast<std::uint16_t>(central->externalFileAttributes >> 16);
        if (S_ISLNK(mode)) type = EntryType::symlink;
        if (S_ISDIR(mode)) type = EntryType::directory;
        permissions = static_cast<std::uint16_t>(mode & 07777);
    }
    const std::uint16_t time = central ? central->lastModFileTime : entry.header.lastModFileTime;
    const std::uint16_t date = central ? central->lastModFileDate : entry.header.lastModFileDate;
    const auto method = static_cast<CompressionMethod>(entry.header.compressionMethod);

    // The data, in order, as the append asks for it.
    Bytes pending;
    std::uint64_t pendingFrom = 0;
    std::uint64_t readTo = 0;
    std::optional<DeflateCoder> coder;
    Bytes input;
    DeflateCoder::Buffers buffers;
    const EntryDataProvider provider = [&](std::int64_t position, std::int64_t size) -> Bytes {
        const auto at = static_cast<std::uint64_t>(position);
        if (method == CompressionMethod::none) {
            return source.read(entry.dataStart + at, static_cast<std::size_t>(size));
        }
        if (!coder) coder.emplace(CoderDirection::decode);
        while (pendingFrom + pending.size() < at + static_cast<std::uint64_t>(size)) {
            if (buffers.inputLeft == 0) {
                input = source.read(entry.dataStart + readTo,
                                    static_cast<std::size_t>(std::min<std::uint64_t>(
                                        blockSize, entry.compressedSize - readTo)));
                readTo += input.size();
                buffers.input = input.data();
                buffers.inputLeft = input.size();
            }
            Bytes output(blockSize);
            buffers.output = output.data();
            buffers.outputLeft = output.size();
            const auto status = coder->process(buffers, readTo == entry.compressedSize);
            if (status == DeflateCoder::Status::error) throw Error(CompressionError::corruptedData);
            pending.insert(pending.end(), output.begin(),
                           output.end() - static_cast<std::ptrdiff_t>(buffers.outputLeft));
            if (status == DeflateCoder::Status::end) break;
        }
        const auto skip = static_cast<std::ptrdiff_t>(at - pendingFrom);
        const auto take = std::min<std::ptrdiff_t>(size, std::ssize(pending) - skip);
        Bytes chunk(pending.begin() + skip, pending.begin() + skip + take);
        pending.erase(pending.begin(), pending.begin() + skip + take);
        pendingFrom = at + static_cast<std::uint64_t>(take);
        return chunk;
    };
    out.appendEntry(name,
                    {.type = type,
                     .uncompressedSize = static_cast<std::int64_t>(entry.uncompressedSize),
                     .modificationDate = dateFromDOS({.date = date, .time = time}),
                     .permissions = permissions},
                    provider, {.compressionMethod = method});
}

}  // namespace

int runRepair(const RepairOptions& options, ToolContext& context) {
    context.subject = options.damaged;
    context.paths.add(options.damaged);
    context.paths.add(options.output);
    context.interruptedNote = "no archive was created";
    std::error_code same;
    if (std::filesystem::equivalent(options.damaged, options.output, same)) {
        throw CommandFailure(options.output + ": the repaired archive must be a new file");
    }

    const Source source(options.damaged);
    const auto directory = survivingDirectory(options.damaged);
    std::vector<std::pair<Salvaged, std::optional<CentralDirectoryStructure>>> found;
    std::vector<std::string> lost;
    for (std::uint64_t from = 0;;) {
        if (context.interrupts.requested()) throw Error(ArchiveError::cancelledOperation);
        const auto offset = source.find(LocalFileHeader::signature, from);
        if (!offset) break;
        const auto record = directory.find(*offset);
        const std::optional<CentralDirectoryStructure> central =
            record != directory.end() ? std::optional(record->second) : std::nullopt;
        if (auto entry = salvageAt(source, *offset, central)) {
            from = entry->end;  // records never overlap: the scan goes on behind this one
            found.emplace_back(std::move(*entry), central);
            continue;
        }
        if (auto header = readRecord<LocalFileHeader>(source.stream(), *offset)) {
            lost.push_back(nameOf(header->fileNameData, header->generalPurposeBitFlag));
        }
        from = *offset + 1;
    }
    // Entries that the directory lists but whose local record was not found whole.
    for (const auto& [listedOffset, record] : directory) {
        const std::uint64_t offset = listedOffset;
        const bool recovered = std::any_of(found.begin(), found.end(), [&](const auto& entry) {
            return entry.first.offset == offset;
        });
        const std::string name = nameOf(record.fileNameData, record.generalPurposeBitFlag);
        if (!recovered && std::find(lost.begin(), lost.end(), name) == lost.end()) {
            lost.push_back(name);
        }
    }

    const FileURL outURL = FileURL::fromPath(options.output);
    try {
        Archive out = Archive::openFile(outURL, Archive::AccessMode::create);
        for (const auto& [entry, central] : found) {
            if (context.interrupts.requested()) throw Error(ArchiveError::cancelledOperation);
            appendSalvaged(out, source, entry, central);
        }
    } catch (const Error& error) {
        if (error.code() != FileError::fileWriteFileExists) {
            std::error_code ignored;
            std::filesystem::remove(outURL.path(), ignored);
        }
        throw;
    }
    for (const auto& [entry, central] : found) {
        const Bytes& name = central ? central->fileNameData : entry.header.fileNameData;
        std::cout << "recovered  " << nameOf(name, entry.header.generalPurposeBitFlag) << '\n';
    }
    for (const std::string& name : lost)
        std::cout << "lost       " << name << '\n';
    std::cout << found.size() << " entries recovered, " << lost.size() << " lost\n";
    return exitSuccess;
}

}  // namespace marrowzip::tool
