// marrowzip next to the ZIP tools people already use: what they write, it lists as Python
// reads it and extracts to the tree they were given; what it writes, they test as sound.
#include <nlohmann/json.hpp>

#include "tool_fixture.hpp"

namespace marrowzip::testing {
namespace {

// Stores links as links (zipfile.write would follow them).
constexpr const char* pythonWriter = R"(import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:
    for top, dirs, files in os.walk(sys.argv[2]):
        for name in sorted(dirs + files):
            path = os.path.join(top, name)
            if not os.path.islink(path):
                z.write(path)
                continue
            info = zipfile.ZipInfo(path)
            info.create_system, info.external_attr = 3, os.lstat(path).st_mode << 16
            z.writestr(info, os.readlink(path))
)";

// Names without the UTF-8 flag are the bytes the writer had: read them as UTF-8, as the engine
// does for names a Unix host wrote.
constexpr const char* pythonReader = R"(import json, sys, zipfile
def name(i):
    return i.filename if i.flag_bits & 0x800 else i.orig_filename.encode('cp437').decode('utf-8')
print(json.dumps([{'path': name(i), 'uncompressedSize': i.file_size, 'compressedSize':
    i.compress_size, 'crc32': i.CRC, 'method': i.compress_type}
    for i in zipfile.ZipFile(sys.argv[1]).infolist()]))
)";

class ToolInterop : public ToolTest {};

TEST_F(ToolInterop, ListsAndExtractsWhatOtherToolsWrite) {
    makeTree();
    writeFileText(at("write.py"), pythonWriter);
    writeFileText(at("read.py"), pythonReader);
    std::vector<std::pair<std::string, std::string>> writers = {
        {"zip.zip", "zip -qr -y zip.zip tree"},
        {"python.zip", "python3 write.py python.zip tree"},
    };
    if (const std::string sevenZip = sevenZipProgram(); !sevenZip.empty()) {
        writers.emplace_back("7z.zip", sevenZip + " a -tzip -snl -bd 7z.zip tree >/dev/null");
    }
    for (const auto& [archive, command] : writers) {
        SCOPED_TRACE(archive);
        shell(command);
        const ToolRun listing = run({"list", "--json", archive});
        ASSERT_EQ(listing.status, 0) << listing.err;
        nlohmann::json ours = nlohmann::json::parse(listing.out);
        for (auto& entry : ours) {
            for (const char* key : {"type", "mode", "modified", "zip64"})
                entry.erase(key);
        }
        const CommandResult python = runCommand("cd " + shellQuote(folder.path().string()) +
                                                " && python3 read.py " + archive);
        EXPECT_EQ(ours, nlohmann::json::parse(python.output));

        const ToolRun extraction = run({"extract", archive, "out-" + archive});
        EXPECT_EQ(extraction.status, 0) << extraction.err;
        EXPECT_EQ(describeTree(at("out-" + archive + "/tree")), describeTree(at("tree")));
        EXPECT_EQ(run({"test", archive}).status, 0);
    }
}

TEST_F(ToolInterop, WhatItCreatesPassesTheOtherToolsTests) {
    makeTree();
    ASSERT_EQ(run({"create", "deflated.zip", "tree"}).status, 0);
    ASSERT_EQ(run({"create", "--store", "--prefix", "stored.zip", "tree"}).status, 0);
    const std::string sevenZip = sevenZipProgram();
    for (const char* archive : {"deflated.zip", "stored.zip"}) {
        SCOPED_TRACE(archive);
        shell(std::string("unzip -tq ") + archive);
        shell(std::string("python3 -m zipfile -t ") + archive);
        if (!sevenZip.empty()) shell(sevenZip + " t " + archive + " >/dev/null");
    }
    // With --prefix every path begins with the folder's name: unzip restores the tree itself.
    shell("unzip -q stored.zip -d unzipped");
    EXPECT_EQ(describeTree(at("unzipped/tree")), describeTree(at("tree")));
}

}  // namespace
}  // namespace marrowzip::testing
