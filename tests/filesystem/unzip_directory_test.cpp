#include "marrowzip/filesystem/unzip_directory.hpp"

#include <gtest/gtest.h>

#include "filesystem/tree_comparison.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/common/progress.hpp"
#include "support/raw_archive.hpp"

namespace marrowzip {
namespace {

using testing::RawEntry;
using testing::rawFile;
using testing::rawFolder;

// Python's zipfile follows links when it adds files, so the script writes the link entries
// itself, with the mode bits that mark a link.
constexpr const char* pythonWriter = R"(
import os, stat, sys, time, zipfile
source, target = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(target, 'w', zipfile.ZIP_DEFLATED) as archive:
    for folder, folders, files in os.walk(source):
        for name in sorted(folders) + sorted(files):
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, source)
            status = os.lstat(path)
            if stat.S_ISLNK(status.st_mode):
                info = zipfile.ZipInfo(relative, time.gmtime(status.st_mtime)[:6])
                info.create_system = 3
                info.external_attr = status.st_mode << 16
                archive.writestr(info, os.readlink(path))
            else:
                archive.write(path, relative)
)";

TEST(UnzippingArchivesOfOtherWriters, RecreatesTheTreeTheyWereMadeFrom) {
    struct Writer {
        std::string program;
        std::string command;  // run inside the source folder, "%" stands for the archive
    };
    const std::string sevenZip = testing::haveProgram("7zz") ? "7zz" : "7z";
    const Writer writers[] = {
        {"zip", "zip -r -y -q % ."},
        {sevenZip, sevenZip + " a -tzip -snl % . >/dev/null"},
        {"python3", "python3 -c " + testing::shellQuote(pythonWriter) + " . %"},
    };
    for (const Writer& writer : writers) {
        SCOPED_TRACE(writer.program);
        if (!testing::haveProgram(writer.program)) continue;
        testing::TemporaryDirectory folder;
        testing::makeSampleTree(folder / "source");
        std::string command = writer.command;
        command.replace(command.find('%'), 1, testing::shellQuote((folder / "a.zip").string()));
        const auto made = testing::runCommand(
            "cd " + testing::shellQuote((folder / "source").string()) + " && " + command);
        ASSERT_EQ(made.exitCode, 0) << made.output;
        Progress progress;
        unzipArchiveToDirectory(FileURL::fromPath((folder / "a.zip").string()),
                                FileURL::fromPath((folder / "dest").string()), false, false,
                                &progress);
        testing::expectSameTree(folder / "source", folder / "dest");
        EXPECT_DOUBLE_EQ(progress.fractionCompleted(), 1.0);
    }
}

struct Outcome {
    std::optional<Error> error;
    std::vector<std::string> tree;
};

Outcome unzipRaw(const std::vector<RawEntry>& entries, bool skipChecksum = false,
                 std::optional<std::uint16_t> claimedCount = std::nullopt) {
    testing::TemporaryDirectory folder;
    testing::writeFileBytes(folder / "a.zip", testing::buildRawArchive(entries, claimedCount));
    Outcome outcome;
    try {
        unzipArchiveToDirectory(FileURL::fromPath((folder / "a.zip").string()),
                                FileURL::fromPath((folder / "dest").string()), skipChecksum);
    } catch (const Error& error) {
        outcome.error = error;
    }
    outcome.tree = testing::listTree(folder / "dest");
    return outcome;
}

TEST(UnzippingAnArchive, ChecksEveryEntrysCRC32UnlessToldNotTo) {
    RawEntry damaged = rawFile("d/damaged.txt", "data");
    damaged.crc = 0x12345678;
    const Outcome checked = unzipRaw({rawFolder("d/"), damaged});
    ASSERT_TRUE(checked.error);
    EXPECT_EQ(checked.error->code(), ArchiveError::invalidCRC32);
    EXPECT_EQ(checked.error->entry(), "d/damaged.txt");
    EXPECT_EQ(checked.tree, (std::vector<std::string>{"d", "d/damaged.txt"}));  // the file stays
    EXPECT_FALSE(unzipRaw({rawFolder("d/"), damaged}, true).error);
}

TEST(UnzippingAnArchive, ReportsEntriesThatTheCentralDirectoryDoesNotDeliver) {
    RawEntry encrypted = rawFile("secret.txt", "xxxx");
    encrypted.flags |= 0x0001;
    const std::vector<std::string> firstOnly = {"first.txt"};
    const Outcome truncated = unzipRaw({rawFile("first.txt", "1")}, false, 3);
    ASSERT_TRUE(truncated.error);
    EXPECT_EQ(truncated.error->code(), ArchiveError::invalidCentralDirectoryEntryCount);
    EXPECT_EQ(truncated.tree, firstOnly);

    const Outcome stopped = unzipRaw({rawFile("first.txt", "1"), encrypted, rawFile("after", "")});
    ASSERT_TRUE(stopped.error);
    EXPECT_EQ(stopped.error->code(), ArchiveError::invalidCentralDirectoryEntryCount);
    EXPECT_EQ(stopped.error->detail(), "encrypted entries are not supported");
    EXPECT_EQ(stopped.tree, firstOnly);
}

}  // namespace
}  // namespace marrowzip
