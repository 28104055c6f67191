// marrowzip repair: what survives of a cut, zeroed or damaged archive goes into a new one.
#include "tool_fixture.hpp"

namespace marrowzip::testing {
namespace {

class ToolRepair : public ToolTest {
protected:
    void SetUp() override {
        for (int i = 0; i < 30; ++i) {
            const std::string name = "f" + std::to_string(10 + i);
            writeFileBytes(at("src") / name,
                           i % 3 ? textBytes(3000 + 50 * i, i) : randomBytes(2000 + 40 * i, i));
        }
    }

    // Repairs `damaged`; answers the lines it printed and how many entries the result holds
    // that unzip tests OK (and that hold the source's bytes, as our extraction checks).
    std::pair<ToolRun, int> repair(const std::string& damaged) {
        const std::string out = "repaired-" + damaged;
        const ToolRun run_ = run({"repair", damaged, out});
        const CommandResult tested = runCommand("unzip -t " + shellQuote(at(out).string()));
        int good = 0;
        for (std::size_t at = 0; (at = tested.output.find(" OK\n", at)) != std::string::npos; ++at)
            ++good;
        if (good > 0) {
            EXPECT_EQ(run({"extract", out, "x-" + damaged}).status, 0);
            for (const std::string& path : listTree(this->at("x-" + damaged) / "src")) {
                EXPECT_EQ(readFileBytes(this->at("x-" + damaged) / "src" / path),
                          readFileBytes(this->at("src") / path))
                    << path;
            }
        }
        return {run_, good};
    }
};

TEST_F(ToolRepair, SalvagesWhatIsWholeFromEachWriter) {
    ASSERT_EQ(run({"create", "--prefix", "ours.zip", "src"}).status, 0);
    std::vector<std::string> writers{"ours.zip"};
    if (haveProgram("zip")) {
        shell("zip -qr plain.zip src && zip -qr - src | cat > streamed.zip");
        writers.insert(writers.end(), {"plain.zip", "streamed.zip"});  // streamed: descriptors
    }
    for (const std::string& writer : writers) {
        SCOPED_TRACE(writer);
        const Bytes whole = readFileBytes(at(writer));
        // Cut at 60%: the entries wholly before the cut come back, none after it.
        writeFileBytes(at("cut-" + writer),
                       Bytes(whole.begin(), whole.begin() + whole.size() * 6 / 10));
        const ToolRun listed = run({"list", "cut-" + writer});
        EXPECT_NE(listed.err.find("marrowzip repair"), std::string::npos) << listed.err;
        const auto [cut, cutGood] = repair("cut-" + writer);
        EXPECT_EQ(cut.status, 0) << cut.err;
        EXPECT_GE(cutGood, 12);
        EXPECT_LT(cutGood, 31);
        EXPECT_NE(cut.out.find("lost"), std::string::npos);

        // The central directory zeroed: everything, from the local records alone.
        Bytes zeroed = whole;
        std::fill(zeroed.end() - 2000, zeroed.end(), 0);
        writeFileBytes(at("zeroed-" + writer), zeroed);
        EXPECT_GE(repair("zeroed-" + writer).second, 29);
    }
}

TEST_F(ToolRepair, ADamagedEntryIsLeftOutAndNothingIsOverwritten) {
    ASSERT_EQ(run({"create", "--store", "--prefix", "ours.zip", "src"}).status, 0);
    Bytes damaged = readFileBytes(at("ours.zip"));
    for (std::size_t i = damaged.size() / 3; i < damaged.size() / 3 + 40; ++i)
        damaged[i] ^= 0x55;
    writeFileBytes(at("damaged.zip"), damaged);
    const auto [repaired, good] = repair("damaged.zip");
    EXPECT_EQ(good, 30);  // the folder and 30 files, less the one hit
    EXPECT_NE(repaired.out.find("30 entries recovered, 1 lost"), std::string::npos) << repaired.out;

    writeFileText(at("taken.zip"), "mine");
    EXPECT_EQ(run({"repair", "damaged.zip", "taken.zip"}).status, 1);
    EXPECT_EQ(readFileBytes(at("taken.zip")), bytesOf("mine"));
    EXPECT_EQ(run({"repair", "damaged.zip", "damaged.zip"}).status, 1);
    EXPECT_EQ(readFileBytes(at("damaged.zip")), damaged);
}

}  // namespace
}  // namespace marrowzip::testing
