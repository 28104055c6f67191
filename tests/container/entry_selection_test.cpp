// Shell-style patterns against whole entry paths, and the selection a command line makes.
#include "marrowzip/format/entry_selection.hpp"

#include <gtest/gtest.h>

namespace marrowzip {
namespace {

TEST(EntryPatterns, MatchWholePathsWithStarsNotCrossingFoldersUnlessDoubled) {
    struct Row {
        const char* pattern;
        const char* path;
        bool matches;
    };
    const Row rows[] = {
        {"a.txt", "a.txt", true},
        {"a.txt", "dir/a.txt", false},  // the whole path, not its last part
        {"*.txt", "a.txt", true},
        {"*.txt", "dir/a.txt", false},  // * stops at /
        {"dir/*", "dir/a/b", false},
        {"dir/**", "dir/a/b", true},
        {"**/*.txt", "a.txt", true},  // **/ may stand for no folder
        {"**/*.txt", "x/y/a.txt", true},
        {"a/**/b", "a/b", true},
        {"a/**/b", "a/x/y/b", true},
        {"?.txt", "ab.txt", false},
        {"a?b", "a/b", false},  // ? is not /
        {"[ab].c", "b.c", true},
        {"[a-c].c", "d.c", false},
        {"[!a-c].c", "d.c", true},
        {"[^a-c].c", "a.c", false},
        {"[]x].c", "].c", true},  // ] first is plain
        {"[a-c", "[a-c", true},   // unclosed: plain
        {"\\*.c", "*.c", true},
        {"\\*.c", "x.c", false},
        {"*", "", true},
        {"a*a*a*a*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},  // no blow-up
    };
    for (const Row& row : rows) {
        EXPECT_EQ(matchesPattern(row.pattern, row.path), row.matches)
            << row.pattern << " against " << row.path;
    }
}

TEST(EntryPatterns, SelectAFolderWithEverythingBelowIt) {
    struct Row {
        const char* pattern;
        const char* path;
        bool selects;
    };
    const Row rows[] = {
        {"dir", "dir/", true},           {"dir/", "dir/", true},
        {"dir", "dir/deep/x.txt", true}, {"dir", "dirt/x", false},
        {"d*", "dir/deep/x", true},      {"deep", "dir/deep/x", false},  // from the root only
        {"*.txt", "dir/a.txt", false},   {"**/*.txt", "dir/a.txt", true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(selectsEntry(row.pattern, row.path), row.selects)
            << row.pattern << " against " << row.path;
    }
}

// A pattern whose entries are all excluded still matched something: it is not reported.
TEST(EntrySelections, ExcludeWinsAndReportPatternsThatMatchedNothing) {
    EntrySelection selection({"dir", "*.md", "missing*", "*.tmp"}, {"dir/skip", "*.tmp"});
    EXPECT_TRUE(selection.selects("dir/"));
    EXPECT_TRUE(selection.selects("dir/a"));
    EXPECT_FALSE(selection.selects("dir/skip/b"));
    EXPECT_FALSE(selection.selects("x.tmp"));
    EXPECT_FALSE(selection.selects("other"));
    EXPECT_EQ(selection.unmatched(), (std::vector<std::string>{"*.md", "missing*"}));

    EntrySelection everything({}, {"*.tmp"});
    EXPECT_TRUE(everything.selects("a/b.tmp"));
    EXPECT_FALSE(everything.selects("b.tmp"));
    EXPECT_TRUE(everything.unmatched().empty());
}

}  // namespace
}  // namespace marrowzip
