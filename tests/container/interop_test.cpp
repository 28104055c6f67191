// An archive that Info-ZIP zip writes with ZIP64 forced (0xFFFFFFFF standing for a size of 0 in
// the records of empty files and folders), listed and checked against what Python reads from it.
// Other writers' archives are unzipped in the filesystem suite, names in every encoding are
// decoded in the record tests, and zip's streamed archives are taken apart in the operations
// suite.
#include <gtest/gtest.h>
#include <zlib.h>

#include <sstream>

#include "marrowzip/archive/archive.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

namespace fs = std::filesystem;
using namespace marrowzip::testing;

constexpr const char* script = R"(import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist():
    print(i.file_size, i.compress_size, i.CRC, i.header_offset, i.compress_type, i.filename))";

TEST(RealArchives, ListEveryEntryAsPythonReadsIt) {
    if (!haveProgram("python3") || !haveProgram("zip")) {
        GTEST_SKIP() << "python3 and Info-ZIP zip are needed (scripts/install-deps installs them)";
    }
    TemporaryDirectory folder;
    fs::create_directories(folder / "tree/sub");
    writeFileBytes(folder / "tree/sub/text.txt", textBytes(100000));
    writeFileBytes(folder / "tree/random.bin", randomBytes(70000));
    writeFileBytes(folder / "tree/empty", {});
    fs::create_symlink("sub/text.txt", folder / "tree/link");
    const std::string cd = "cd " + shellQuote(folder.path().string()) + " && ";
    const auto made = runCommand(cd + "zip -q -fz -r -y a.zip tree");
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const auto report = runCommand(cd + "python3 -c " + shellQuote(script) + " a.zip");
    ASSERT_EQ(report.exitCode, 0) << report.output;

    // Checked on the way: the type the name tells (the one link is called "link"), the central
    // size, and stored data's CRC-32 from where the data starts.
    const Bytes file = readFileBytes(folder / "a.zip");
    const Archive archive = Archive::openFile(fileURL(folder / "a.zip"), Archive::AccessMode::read);
    EntryIterator entries = archive.makeEntryIterator();
    std::ostringstream ours;
    while (auto entry = entries.next()) {
        const std::string path = entry->path();
        const auto method = entry->centralDirectoryStructure.compressionMethod;
        const std::uint64_t size = entry->uncompressedSize();
        ours << size << ' ' << entry->compressedSize() << ' ' << entry->checksum() << ' '
             << entry->localHeaderOffset() << ' ' << method << ' ' << path << '\n';
        const EntryType type = path.ends_with("link") ? EntryType::symlink
                               : path.ends_with("/")  ? EntryType::directory
                                                      : EntryType::file;
        EXPECT_EQ(entry->type(), type) << path;
        EXPECT_EQ(entry->centralUncompressedSize(), size) << path;
        if (method == 0 && entry->dataStart() + size <= file.size()) {
            EXPECT_EQ(::crc32(0, file.data() + entry->dataStart(), static_cast<uInt>(size)),
                      entry->checksum())
                << path;
        }
    }
    EXPECT_FALSE(entries.endedEarly());
    EXPECT_EQ(ours.str(), report.output);
}

}  // namespace
}  // namespace marrowzip
