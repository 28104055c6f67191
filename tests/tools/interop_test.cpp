// What marrowzip writes, the ZIP tools people already use test as sound and unpack to the tree
// it was given. (Their archives, extracted, are compared in the filesystem suite.)
#include "tool_fixture.hpp"

namespace marrowzip::testing {
namespace {

namespace fs = std::filesystem;

class ToolInterop : public ToolTest {};

TEST_F(ToolInterop, WhatItCreatesPassesTheOtherToolsTests) {
    makeSampleTree(at("tree"));
    setTime(at("tree"), folderTime);
    ASSERT_EQ(run({"create", "deflated.zip", "tree"}).status, 0);
    ASSERT_EQ(run({"create", "--store", "--prefix", "stored.zip", "tree"}).status, 0);
    const std::string seven = sevenZip();
    for (const char* archive : {"deflated.zip", "stored.zip"}) {
        SCOPED_TRACE(archive);
        shell(std::string("python3 -m zipfile -t ") + archive);
        if (!seven.empty()) shell(seven + " t " + archive + " >/dev/null");
    }
    // With --prefix every path begins with the folder's name: unzip restores the tree itself.
    shell("unzip -tq deflated.zip && unzip -q stored.zip -d unzipped");
    expectSameTree(at("tree"), at("unzipped/tree"), /*linkTimes=*/false);
}

// `create -` writes through a pipe, so entries larger than one buffer carry their sizes in data
// descriptors. The other tools test the result; bsdtar reads it from a pipe as it streams in,
// and so does marrowzip from standard input.
TEST_F(ToolInterop, WhatItStreamsPassesTheOtherToolsTestsAndReadsBackFromStandardInput) {
    makeSampleTree(at("tree"));
    writeFileBytes(at("tree/large.txt"), textBytes(300000));
    writeFileBytes(at("tree/sub/noise.bin"), randomBytes(100000));
    const std::string tool = shellQuote(MARROWZIP_TOOL_PATH);
    const std::string seven = sevenZip();
    for (const char* level : {"-6", "-0"}) {
        SCOPED_TRACE(level);
        fs::remove_all(at("out"));
        shell(tool + " create " + level + " --comment streamed - tree | cat > s.zip");
        shell("unzip -Z -v s.zip | grep -q 'extended local header: *yes'");
        shell("unzip -tq s.zip && python3 -m zipfile -t s.zip");
        if (!seven.empty()) shell(seven + " t s.zip >/dev/null");
        shell("cat s.zip | bsdtar -xOf - large.txt | cmp - tree/large.txt");
        shell("cat s.zip | bsdtar -xOf - sub/noise.bin | cmp - tree/sub/noise.bin");
        shell("cat s.zip | " + tool + " test - | grep -qx 'standard input: .* tested, no errors'");
        shell(tool + " extract - out < s.zip");
        expectSameTree(at("tree"), at("out"), /*linkTimes=*/false);
    }
    shell(tool + " list - < s.zip | tail -n 1 | grep -qx 'comment: streamed'");
}

}  // namespace
}  // namespace marrowzip::testing
