#include "marrowzip/processing/block_deflate.hpp"

#include <gtest/gtest.h>

#include "coding.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using namespace marrowzip::testing;

// Blocks compressed on their own, each primed with the data before it, and their checksums,
// join into the stream and checksum of the whole; the ratio stays within 1% of one stream's.
TEST(BlockDeflate, JoinedBlocksInflateToTheWholeAtTheRatioOfOneStream) {
    Bytes mixed = randomBytes(1 << 20, 4);
    const Bytes tail = textBytes(1 << 20, 5);
    mixed.insert(mixed.end(), tail.begin(), tail.end());
    BlockDeflater deflater;
    for (const Bytes& input : {textBytes(3 << 20, 3), mixed}) {
        for (const std::size_t blockSize : {std::size_t{65536}, std::size_t{1} << 20}) {
            SCOPED_TRACE(blockSize);
            const ByteView all(input);
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
            EXPECT_EQ(zlibInflate(joined, all.size()), input);
            EXPECT_LE(static_cast<double>(joined.size()),
                      1.01 * static_cast<double>(zlibDeflate(input).size()));
        }
    }
    // A single last block is a complete stream on its own.
    const Bytes small = textBytes(5000, 6);
    EXPECT_EQ(zlibInflate(deflater.compress({}, small, true), small.size()), small);
}

}  // namespace
}  // namespace marrowzip
