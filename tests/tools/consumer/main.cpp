// Deflates an entry into an in-memory archive, finds it by name and reads it back: zlib and
// ICU must both be linked for this to build and run.
#include <cstdio>
#include <string>

#include "marrowzip/marrowzip.hpp"

int main() {
    using namespace marrowzip;
    const std::string text(10000, 'q');
    auto archive = Archive::openMemory({}, Archive::AccessMode::create);
    archive.appendEntry("notes.txt", {.uncompressedSize = static_cast<std::int64_t>(text.size())},
                        [&](std::int64_t position, std::int64_t size) {
                            const auto begin = text.begin() + position;
                            return Bytes(begin, begin + size);
                        },
                        {.compressionMethod = CompressionMethod::deflate});
    const auto entry = archive.findEntry("notes.txt");
    std::string restored;
    const auto crc = archive.extractEntry(
        *entry, [&](ByteView chunk) { restored.append(chunk.begin(), chunk.end()); });
    const bool ok = restored == text && crc == entry->checksum() && entry->compressedSize() < 100;
    std::puts(ok ? "consumer: ok" : "consumer: wrong result");
    return ok ? 0 : 1;
}
