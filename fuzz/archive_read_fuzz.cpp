// Opens the input as an in-memory archive and does everything a reader does with it: lists the
// entries, reads every field a listing shows, extracts each entry through the consumer form and
// looks each one up by its path. Engine errors are the expected answer to a damaged archive.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.hpp"
#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/error.hpp"

namespace {

using marrowzip::Archive;
using marrowzip::Entry;
using marrowzip::Error;

// Enough to pass every chunk boundary of the entries a small input can hold.
constexpr std::size_t maximumEntries = 256;

void readFields(const Entry& entry) {
    static_cast<void>(entry.type());
    static_cast<void>(entry.hostSystem());
    static_cast<void>(entry.isZIP64());
    static_cast<void>(entry.checksum());
    static_cast<void>(entry.compressedSize());
    static_cast<void>(entry.uncompressedSize());
    static_cast<void>(entry.localRecordLength());
    static_cast<void>(entry.dataStart());
    static_cast<void>(entry.modificationTime());
    static_cast<void>(entry.pathUsingEncoding("Shift_JIS"));
}

void extract(Archive& archive, const Entry& entry, std::int64_t bufferSize, bool skipChecksum) {
    std::uint64_t delivered = 0;
    try {
        archive.extractEntry(entry, [&](marrowzip::ByteView chunk) { delivered += chunk.size(); },
                             {.bufferSize = bufferSize, .skipChecksum = skipChecksum});
    } catch (const Error&) {
        return;
    }
    // A completed extraction delivers exactly the size that the central record declares.
    if (entry.type() == marrowzip::EntryType::file &&
        delivered != entry.centralUncompressedSize()) {
        marrowzip::fuzzing::fail("a file entry delivered other than its declared size");
    }
}

void lookUp(const Archive& archive, const std::string& path) {
    if (path.empty()) return;
    try {
        if (!archive.findEntry(path)) {
            marrowzip::fuzzing::fail("an enumerated path is not found again");
        }
    } catch (const Error&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        Archive archive =
            Archive::openMemory(marrowzip::Bytes(data, data + size), Archive::AccessMode::read);
        static_cast<void>(archive.totalNumberOfEntries());
        // Small buffers split the data at many places; the default one reads it in one piece.
        const std::int64_t bufferSize = size % 2 == 0 ? marrowzip::defaultChunkSize : 7;
        marrowzip::EntryIterator entries = archive.makeEntryIterator();
        std::size_t count = 0;
        while (const auto entry = entries.next()) {
            readFields(*entry);
            extract(archive, *entry, bufferSize, count % 2 == 1);
            lookUp(archive, entry->path());
            if (++count == maximumEntries) break;
        }
    } catch (const Error&) {
    }
    return 0;
}
