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
        print(n, i.file_size, i.compress_size, i.CRC, i.header_offset, i.compress_type, path(i))
)";

// Every entry as the script reports it, checked on the way: the type its name tells (the one link
// is called "link"), the central size, and stored data's CRC-32 from where the data starts.
std::string listAndCheck(std::size_t index, const fs::path& zip) {
    SCOPED_TRACE(zip.filename().string());
    const Bytes file = testing::readFileBytes(zip);
    const Archive archive =
        Archive::openFile(FileURL::fromPath(zip.string()), Archive::AccessMode::read);
    EntryIterator entries = archive.makeEntryIterator();
    std::ostringstream lines;
    while (auto entry = entries.next()) {
        const std::string path = entry->path();
        const auto method = entry->centralDirectoryStructure.compressionMethod;
        const std::uint64_t size = entry->uncompressedSize();
        lines << index << ' ' << size << ' ' << entry->compressedSize() << ' ' << entry->checksum()
              << ' ' << entry->localHeaderOffset() << ' ' << method << ' ' << path << '\n';
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
    EXPECT_FALSE(lines.str().empty());
    return lines.str();
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
    std::string report = cd + "PYTHONIOENCODING=utf-8 python3 report.py";
    for (const auto& [name, command] : fixtures) {
        if (!command.empty()) {
            const auto made = runCommand(cd + command);
            ASSERT_EQ(made.exitCode, 0) << command << "\n" << made.output;
        }
        report += " " + name;
    }
    const auto result = runCommand(report);
    ASSERT_EQ(result.exitCode, 0) << result.output;
    std::string ours;
    for (std::size_t i = 0; i < fixtures.size(); ++i)
        ours += listAndCheck(i, folder / fixtures[i].first);
    EXPECT_EQ(ours, result.output);
}

}  // namespace
}  // namespace marrowzip
