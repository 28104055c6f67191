// Two writers on one archive, readers during a writer, and a full disk: the tool's side of the
// update promises.
#include <unistd.h>

#include <algorithm>

#include "tool_fixture.hpp"

namespace marrowzip::testing {
namespace {

class ToolWriters : public ToolTest {
protected:
    void SetUp() override {
        for (const char* side : {"left", "right"}) {
            for (int i = 0; i < 100; ++i) {
                writeFileBytes(at(side) / ("f" + std::to_string(i)), textBytes(3000 + i, i));
            }
        }
        writeFileText(at("seed.txt"), "seed");
        ASSERT_EQ(run({"create", "a.zip", "seed.txt"}).status, 0);
    }

    std::size_t entryCount() const {
        const ToolRun listed = run({"list", "a.zip"});
        EXPECT_EQ(listed.status, 0) << listed.err;
        return static_cast<std::size_t>(std::count(listed.out.begin(), listed.out.end(), '\n'));
    }
};

// The second add runs while the first does, and readers list the archive meanwhile: both adds
// succeed, nothing is lost, and every reader finds an archive.
TEST_F(ToolWriters, TwoAddsAtOnceBothLandWhileReadersSeeAnArchive) {
    const std::string tool = shellQuote(MARROWZIP_TOOL_PATH);
    const ToolRun first =
        run({"add", "a.zip", "left"},
            "{ " + tool + " add --quiet a.zip right & for i in $(seq 20); do " + tool +
                " list a.zip >/dev/null || echo LISTFAIL >&2; done; wait; }");
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.err.find("LISTFAIL"), std::string::npos) << first.err;
    EXPECT_EQ(entryCount(), 1U + 2U * 101U);
    EXPECT_EQ(clientComplaints(at("a.zip")), "");
}

TEST_F(ToolWriters, ASecondWriterWaitsOrWithNoWaitFailsAtOnce) {
    if (!haveProgram("flock")) GTEST_SKIP() << "flock(1) holds the lock";
    EXPECT_EQ(run({"--quiet", "add", "--no-wait", "a.zip", "left"}).status, 0);  // nobody holds it
    const auto whileLocked = [&](const std::string& option) {
        return runCommand("cd " + shellQuote(folder.path().string()) +
                          " && { flock a.zip sleep 1 & sleep 0.3; " +
                          shellQuote(MARROWZIP_TOOL_PATH) + " remove " + option +
                          "a.zip seed.txt; echo status $?; wait; } 2>&1")
            .output;
    };
    const std::string noWait = whileLocked("--no-wait ");
    EXPECT_NE(noWait.find("another process is updating the archive"), std::string::npos) << noWait;
    EXPECT_NE(noWait.find("status 1"), std::string::npos);
    const std::string waited = whileLocked("");
    EXPECT_NE(waited.find("waiting for another process"), std::string::npos) << waited;
    EXPECT_NE(waited.find("status 0"), std::string::npos);
}

// Every command that writes says why when the disk fills up, whichever file it was writing; a
// removal whose copy cannot fit beside the archive leaves the archive and nothing else.
TEST_F(ToolWriters, AFullDiskReadsAsSuchInEveryCommandAndLeavesNothingBehind) {
    const std::string sudo = ::geteuid() == 0 ? "" : "sudo -n ";
    const std::string mount = (folder / "small").string();
    if (runCommand("mkdir -p " + shellQuote(mount) + " && " + sudo +
                   "mount -t tmpfs -o size=600k tmpfs " + shellQuote(mount) + " && " + sudo +
                   "chmod 777 " + shellQuote(mount))
            .exitCode != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root or sudo";
    }
    writeFileBytes(at("big"), randomBytes(380000));
    writeFileText(at("x"), "x");
    ASSERT_EQ(run({"create", "--store", "big.zip", "big"}).status, 0);
    ASSERT_EQ(run({"create", "--store", "small/a.zip", "big"}).status, 0);
    ASSERT_EQ(run({"add", "small/a.zip", "x"}).status, 0);
    const Bytes before = readFileBytes(at("small/a.zip"));
    const std::vector<std::string> cases[] = {
        {"remove", "small/a.zip", "x"},  // the copy without the small entry
        {"create", "--store", "small/new.zip", "big"},
        {"extract", "big.zip", "small/out"},
    };
    std::vector<ToolRun> results;
    std::vector<std::string> left;  // beside the archive after the removal
    for (const auto& arguments : cases) {
        results.push_back(run(arguments));
        if (left.empty()) left = listTree(at("small"));
    }
    const Bytes after = readFileBytes(at("small/a.zip"));
    runCommand(sudo + "umount " + shellQuote(mount));
    for (std::size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE(::testing::PrintToString(cases[i]));
        EXPECT_EQ(results[i].status, 1);
        EXPECT_NE(results[i].err.find("no space left on device"), std::string::npos)
            << results[i].err;
    }
    EXPECT_EQ(left, std::vector<std::string>{"a.zip"});
    EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace marrowzip::testing
