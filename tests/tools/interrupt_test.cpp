// Ctrl-C sent to the real binary in the middle of a 200 MB append, creation or extraction.
#include "tool_fixture.hpp"

namespace marrowzip::testing {
namespace {

class ToolInterrupt : public ToolTest {
protected:
    // Runs the tool, and once `growing` has more than `size` bytes (the data is flowing, or
    // two minutes have passed), sends it SIGINT.
    ToolRun interrupt(const std::vector<std::string>& arguments, const std::string& growing,
                      std::uintmax_t size) const {
        return run(arguments, "i=0; while [ $(stat -c %s " + growing +
                                  " 2>/dev/null || echo 0) -le " + std::to_string(size) +
                                  " ] && [ $i -lt 24000 ]; do sleep 0.005; i=$((i+1)); done; "
                                  "kill -INT $!");
    }
};

TEST_F(ToolInterrupt, CtrlCLeavesTheArchiveAsItWasAndExitsWith130) {
    writeFileText(at("small.txt"), "small\n");
    ASSERT_EQ(run({"create", "a.zip", "small.txt"}).status, 0);
    shell("head -c 200M /dev/urandom > big.bin");
    const Bytes before = readFileBytes(at("a.zip"));

    const ToolRun added =
        interrupt({"add", "a.zip", "big.bin"}, "a.zip", before.size() + (1 << 20));
    EXPECT_EQ(added.status, 130);
    EXPECT_EQ(added.out, "");
    EXPECT_EQ(added.err, "marrowzip: a.zip: interrupted; the archive is unchanged\n");
    EXPECT_EQ(readFileBytes(at("a.zip")), before);

    const ToolRun created = interrupt({"create", "b.zip", "big.bin"}, "b.zip", 1 << 20);
    EXPECT_EQ(created.status, 130);
    EXPECT_EQ(created.err, "marrowzip: b.zip: interrupted; no archive was created\n");
    EXPECT_FALSE(std::filesystem::exists(at("b.zip")));

    // The file being written goes with the interruption: it would block the next run.
    ASSERT_EQ(run({"create", "-0", "c.zip", "small.txt", "big.bin"}).status, 0);
    const ToolRun extracted = interrupt({"extract", "c.zip", "out"}, "out/big.bin", 1 << 20);
    EXPECT_EQ(extracted.status, 130);
    EXPECT_EQ(extracted.err,
              "marrowzip: c.zip: interrupted; the extraction stopped; what it extracted stays\n");
    EXPECT_EQ(listTree(at("out")), std::vector<std::string>{"small.txt"});
    EXPECT_EQ(run({"extract", "c.zip", "out", "big.bin"}).status, 0);
}

}  // namespace
}  // namespace marrowzip::testing
