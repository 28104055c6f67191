// Archives written by Info-ZIP zip and Python's zipfile, enumerated and checked against what
// Python reads from them.
#include <gtest/gtest.h>
#include <zlib.h>

#include <sstream>

#include "marrowzip/container/archive.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

namespace fs = std::filesystem;
using testing::runCommand;
using testing::shellQuote;

// Writes python.zip (code page 437 names without the UTF-8 flag, one with a Unicode Path field,
// one flagged UTF-8 name), then reports every entry of every archive named. Names follow the
// engine's rules, written out again here: UTF-8 by flag, Unicode Path field, UTF-8 from Unix
// hosts, code page 437.
constexpr const char* script = R"(
import struct, sys, zipfile, zlib
class Raw(zipfile.ZipInfo):
    def _encodeFilenameFlags(self): return self.filename.encode('cp437'), self.flag_bits
with zipfile.ZipFile('python.zip', 'w') as z:
    i = Raw('Gr\u00fc\u00dfe-\u00e9 \u2502.txt'); i.create_system = 0; z.writestr(i, b'x')
    i = Raw('name.txt'); i.create_system = 0; u = 'Gr\u00f6\u00dfe.txt'.encode()
    i.extra = struct.pack('<HHBI', 0x7075, 5 + len(u), 1, zlib.crc32(b'name.txt')) + u
    z.writestr(i, b'y')
    z.writestr('caf\u00e9/', b'')
    z.writestr('caf\u00e9/\u00fc.txt', b'z' * 1000, zipfile.ZIP_DEFLATED)
def path(i):
    if i.flag_bits & 0x800: return i.filename
    raw, pos = i.filename.encode('cp437'), 0
    while pos + 4 <= len(i.extra):
        hid, size = struct.unpack('<HH', i.extra[pos:pos + 4])
        data = i.extra[pos + 4:pos + 4 + size]
        if hid == 0x7075 and data[:1] == b'\1' and data[1:5] == struct.pack('<I', zlib.crc32(raw)):
            return data[5:].decode()
        pos += 4 + size
    try: return raw.decode() if i.create_system in (3, 19) else i.filename
    except UnicodeDecodeError: return i.filename
for n, name in enumerate(sys.argv[1:]):
    for i in zipfile.ZipFile(name).infolist():
        print(n, path(i).encode().hex(), i.file_size, i.compress_size, i.CRC, i.header_offset, i.compress_type)
)";

struct Reported {
    std::string path;
    std::uint64_t size = 0, compressedSize = 0;
    std::uint32_t crc = 0;
    std::uint64_t offset = 0;
    int method = 0;
};

void expectSameEntries(const fs::path& zip, const std::vector<Reported>& reported) {
    SCOPED_TRACE(zip.filename().string());
    ASSERT_FALSE(reported.empty());
    const Bytes file = testing::readFileBytes(zip);
    const Archive archive =
        Archive::openFile(FileURL::fromPath(zip.string()), Archive::AccessMode::read);
    EntryIterator entries = archive.makeEntryIterator();
    std::size_t index = 0;
    while (auto entry = entries.next()) {
        ASSERT_LT(index, reported.size());
        const Reported& r = reported[index++];
        EXPECT_EQ(entry->path(), r.path);
        // The fixtures' names tell their types: the one link is called "link".
        const EntryType type = r.path.ends_with("link") ? EntryType::symlink
                               : r.path.ends_with("/")  ? EntryType::directory
                                                        : EntryType::file;
        EXPECT_EQ(entry->type(), type) << r.path;
        EXPECT_EQ(std::tuple(entry->uncompressedSize(), entry->compressedSize(), entry->checksum(),
                             entry->localHeaderOffset(), entry->centralUncompressedSize()),
                  std::tuple(r.size, r.compressedSize, r.crc, r.offset, r.size))
            << r.path;
        if (r.method == 0 && entry->dataStart() + r.size <= file.size()) {
            // Stored data starts at dataStart.
            EXPECT_EQ(::crc32(0, file.data() + entry->dataStart(), static_cast<uInt>(r.size)),
                      r.crc)
                << r.path;
        }
    }
    EXPECT_EQ(index, reported.size());
    EXPECT_FALSE(entries.endedEarly());
}

TEST(RealArchives, ListEveryEntryAsPythonReadsIt) {
    if (!testing::haveProgram("python3") || !testing::haveProgram("zip")) {
        GTEST_SKIP() << "python3 and Info-ZIP zip are needed (scripts/install-deps installs them)";
    }
    testing::TemporaryDirectory folder;
    const fs::path tree = folder / "tree";
    fs::create_directories(tree / "sub");
    testing::writeFileBytes(tree / "sub" / "text.txt", testing::textBytes(100000));
    testing::writeFileBytes(tree / "random.bin", testing::randomBytes(70000));
    testing::writeFileBytes(tree / "empty", {});
    testing::writeFileText(tree / "Gr\u00fc\u00dfe.txt", "hello");
    fs::create_symlink("sub/text.txt", tree / "link");
    testing::writeFileText(folder / "report.py", script);
    const std::vector<std::pair<std::string, std::string>> fixtures = {
        {"stored.zip", "zip -q -0 -r -y stored.zip tree"},
        {"comment.zip",
         "zip -q -r -y comment.zip tree && echo 'a comment' | zip -q -z comment.zip"},
        {"zip64.zip", "zip -q -fz -r -y zip64.zip tree"},
        // Written to a pipe, zip cannot seek back: it writes ZIP64 data descriptors.
        {"streamed.zip", "cat tree/sub/text.txt | zip -q - - | cat > streamed.zip"},
        {"streamed-small.zip", "echo data | zip -q - - | cat > streamed-small.zip"},
        {"python.zip", ""},
    };
    const std::string cd = "cd " + shellQuote(folder.path().string()) + " && ";
    std::string report = cd + "python3 report.py";
    for (const auto& [name, command] : fixtures) {
        if (!command.empty()) {
            const auto made = runCommand(cd + command);
            ASSERT_EQ(made.exitCode, 0) << command << "\n" << made.output;
        }
        report += " " + name;
    }
    const auto result = runCommand(report);
    ASSERT_EQ(result.exitCode, 0) << result.output;

    std::vector<std::vector<Reported>> reported(fixtures.size());
    std::istringstream lines(result.output);
    std::size_t index = 0;
    std::string hexPath;
    Reported r;
    while (lines >> index >> hexPath >> r.size >> r.compressedSize >> r.crc >> r.offset >>
           r.method) {
        r.path.clear();
        for (std::size_t i = 0; i + 1 < hexPath.size(); i += 2) {
            r.path.push_back(static_cast<char>(std::stoi(hexPath.substr(i, 2), nullptr, 16)));
        }
        reported.at(index).push_back(r);
    }
    for (std::size_t i = 0; i < fixtures.size(); ++i)
        expectSameEntries(folder / fixtures[i].first, reported[i]);
}

}  // namespace
}  // namespace marrowzip
