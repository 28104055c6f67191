// A tree whose files take every path of a parallel bulk append — empty, small (compressed whole),
// larger than a small worker budget (compressed in blocks), incompressible — with a folder and a
// link, and the archive of it made with given bulk options.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "operations/append_support.hpp"

namespace marrowzip::testing {

// Small enough that the large files of the tree go in blocks of 128 KiB.
inline constexpr std::uint64_t smallWorkerBudget = std::uint64_t{1} << 20;

struct SampleTree {
    TemporaryDirectory folder;
    std::filesystem::path root = folder / "tree";
    std::vector<std::string> items;  // relative to root, parents first

    SampleTree() {
        namespace fs = std::filesystem;
        fs::create_directories(root / "d");
        items.push_back("d");
        writeFileBytes(root / "d/empty", {});
        items.push_back("d/empty");
        for (std::uint32_t i = 0; i < 40; ++i) {
            const std::string name = "d/small" + std::to_string(i);
            writeFileBytes(root / name, textBytes(1000 + i * 700, i));
            items.push_back(name);
        }
        fs::create_symlink("small1", root / "d/link");
        items.push_back("d/link");
        writeFileBytes(root / "big.log", textBytes(3 << 20, 7));
        items.push_back("big.log");
        writeFileBytes(root / "big.bin", randomBytes(1536 << 10, 8));
        items.push_back("big.bin");
        writeFileBytes(root / "last", textBytes(5000, 9));
        items.push_back("last");
    }
};

// Paths and bytes of every entry, in the archive's order.
inline std::vector<std::pair<std::string, Bytes>> archiveContents(
    const std::filesystem::path& path) {
    Archive reader = Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::read);
    std::vector<std::pair<std::string, Bytes>> result;
    for (const Entry& entry : reader)
        result.emplace_back(entry.path(), entryBytes(reader, entry));
    return result;
}

inline void archiveTree(const SampleTree& tree, const std::filesystem::path& path,
                        Archive::BulkOptions options, CompressionMethod method) {
    Archive archive =
        Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::create);
    Archive::BulkAppend bulk = archive.beginBulkAppend(defaultChunkSize, options);
    const Archive::RelativeTo base{FileURL::fromPath(tree.root.string())};
    for (const std::string& item : tree.items)
        archive.appendEntry(item, base, method);
    bulk.finish();
}

}  // namespace marrowzip::testing
