#include "marrowzip/processing/block_deflate.hpp"

#include <gtest/gtest.h>

#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/deflate.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using namespace marrowzip::testing;

EntryDataProvider providerOf(const Bytes& bytes) {
    return [&bytes](std::int64_t position, std::int64_t wanted) {
        const auto start = bytes.begin() + position;
        return Bytes(start,
                     start + std::min<std::int64_t>(
                                 wanted, static_cast<std::int64_t>(bytes.size()) - position));
    };
}

Bytes inflateAll(const Bytes& compressed, std::size_t size) {
    Bytes output;
    decompressDeflate(
        static_cast<std::int64_t>(compressed.size()), 65536, true, providerOf(compressed),
        [&](ByteView chunk) { output.insert(output.end(), chunk.begin(), chunk.end()); }, size);
    return output;
}

// Blocks compressed on their own, each primed with the data before it, and their checksums,
// join into the stream and checksum of the whole; the ratio stays within 1% of one stream's.
TEST(BlockDeflate, JoinedBlocksInflateToTheWholeAtTheRatioOfOneStream) {
    const Bytes text = textBytes(3 << 20, 3);
    const Bytes mixed = [] {
        Bytes bytes = randomBytes(1 << 20, 4);
        const Bytes tail = textBytes(1 << 20, 5);
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        return bytes;
    }();
    BlockDeflater deflater;
    for (const Bytes* input : {&text, &mixed}) {
        for (const std::size_t blockSize : {std::size_t{65536}, std::size_t{1} << 20}) {
            SCOPED_TRACE(blockSize);
            const ByteView all(*input);
            Bytes joined;
            std::uint32_t checksum = 0;
            for (std::size_t offset = 0; offset < all.size(); offset += blockSize) {
                const std::size_t size = std::min(blockSize, all.size() - offset);
                const Bytes block = deflater.compress(all.first(offset), all.subspan(offset, size),
                                                      offset + size == all.size());
                joined.insert(joined.end(), block.begin(), block.end());
                checksum = combineCRC32(checksum, updateCRC32(all.subspan(offset, size), 0), size);
            }
            EXPECT_EQ(checksum, updateCRC32(all, 0));
            EXPECT_EQ(inflateAll(joined, all.size()), *input);

            std::size_t oneStream = 0;
            compressDeflate(static_cast<std::int64_t>(all.size()), 65536, providerOf(*input),
                            [&](ByteView chunk) { oneStream += chunk.size(); });
            EXPECT_LE(static_cast<double>(joined.size()), 1.01 * static_cast<double>(oneStream));
        }
    }
    // A single last block is a complete stream on its own.
    const Bytes small = textBytes(5000, 6);
    EXPECT_EQ(inflateAll(deflater.compress({}, small, true), small.size()), small);
}

}  // namespace
}  // namespace marrowzip
