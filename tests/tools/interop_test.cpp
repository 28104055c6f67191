// What marrowzip writes, the ZIP tools people already use test as sound and unpack to the tree
// it was given. (Their archives, extracted, are compared in the filesystem suite.)
#include "tool_fixture.hpp"

namespace marrowzip::testing {
namespace {

class ToolInterop : public ToolTest {};

TEST_F(ToolInterop, WhatItCreatesPassesTheOtherToolsTests) {
    makeSampleTree(at("tree"));
    setTime(at("tree"), folderTime);
    ASSERT_EQ(run({"create", "deflated.zip", "tree"}).status, 0);
    ASSERT_EQ(run({"create", "--store", "--prefix", "stored.zip", "tree"}).status, 0);
    const std::string sevenZip = haveProgram("7zz") ? "7zz" : haveProgram("7z") ? "7z" : "";
    for (const char* archive : {"deflated.zip", "stored.zip"}) {
        SCOPED_TRACE(archive);
        shell(std::string("python3 -m zipfile -t ") + archive);
        if (!sevenZip.empty()) shell(sevenZip + " t " + archive + " >/dev/null");
    }
    // With --prefix every path begins with the folder's name: unzip restores the tree itself.
    shell("unzip -tq deflated.zip && unzip -q stored.zip -d unzipped");
    expectSameTree(at("tree"), at("unzipped/tree"), /*linkTimes=*/false);
}

}  // namespace
}  // namespace marrowzip::testing
