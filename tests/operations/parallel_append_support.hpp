// A tree whose files take every path of a parallel bulk append — empty, small (compressed whole),
// larger than a small worker budget (compressed in blocks), incompressible — with a folder and a
// link, and the archive of it made with given bulk options.
#pragma once

#include <filesystem>
#include <string>
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
        std::filesystem::create_directories(root / "d");
        items.push_back("d");
        add("d/empty", {});
        for (std::uint32_t i = 0; i < 40; ++i)
            add("d/small" + std::to_string(i), textBytes(1000 + i * 700, i));
        std::filesystem::create_symlink("small1", root / "d/link");
        items.push_back("d/link");
        add("d/noise.bin", randomBytes(100000, 6));
        add("big.log", textBytes(3 << 20, 7));
        add("big.bin", randomBytes(1536 << 10, 8));
        add("last", textBytes(5000, 9));
    }
    void add(const std::string& name, const Bytes& bytes) {
        writeFileBytes(root / name, bytes);
        items.push_back(name);
    }
};

inline void archiveTree(const SampleTree& tree, const std::filesystem::path& path,
                        Archive::BulkOptions options, CompressionMethod method) {
    Archive archive = openArchive(path);
    Archive::BulkAppend bulk = archive.beginBulkAppend(defaultChunkSize, options);
    const Archive::RelativeTo base{FileURL::fromPath(tree.root.string())};
    for (const std::string& item : tree.items)
        archive.appendEntry(item, base, method);
    bulk.finish();
}

}  // namespace marrowzip::testing
