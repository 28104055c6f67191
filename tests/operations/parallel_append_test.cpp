#include <gtest/gtest.h>

#include "operations/parallel_append_support.hpp"

namespace marrowzip::testing {
namespace {

const Archive::BulkOptions serial{1};
const Archive::BulkOptions parallel{4, smallWorkerBudget};

// Workers change who compresses, not what the archive holds nor where: the same entries in the
// same order with the same data, whether compressed whole, in blocks or stored. What compression
// would not shrink is stored, whether it was compressed whole or in blocks.
TEST(ParallelBulkAppends, ListTheSameEntriesAsASerialRunAndStoreWhatWouldNotShrink) {
    const SampleTree tree;
    for (const CompressionMethod method : {CompressionMethod::deflate, CompressionMethod::none}) {
        SCOPED_TRACE(static_cast<int>(method));
        const TemporaryDirectory folder;
        archiveTree(tree, folder / "serial.zip", serial, method);
        archiveTree(tree, folder / "parallel.zip", parallel, method);
        const Contents expected = contentsOf(folder / "serial.zip");
        ASSERT_EQ(expected.size(), tree.items.size());
        EXPECT_EQ(contentsOf(folder / "parallel.zip"), expected);
        EXPECT_EQ(clientComplaints(folder / "parallel.zip"), "");
        if (method == CompressionMethod::none) {
            EXPECT_EQ(readFileBytes(folder / "parallel.zip"), readFileBytes(folder / "serial.zip"));
            continue;
        }
        Archive reader = openArchive(folder / "parallel.zip", Archive::AccessMode::read);
        for (const std::string name : {"d/noise.bin", "big.bin", "last", "big.log"}) {
            const Entry entry = *reader.findEntry(name);
            const int stored = name.ends_with(".bin") ? 0 : 8;
            EXPECT_EQ(entry.centralDirectoryStructure.compressionMethod, stored) << name;
            EXPECT_LE(entry.compressedSize(), entry.uncompressedSize()) << name;
        }
    }
}

}  // namespace
}  // namespace marrowzip::testing
