// Archives written byte by byte, unzipped into parent/dest: names and links that lead out of
// the destination, records that share bytes, wrong checksums and central directories that end
// early. Whatever happens, nothing appears in parent beside dest.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <map>

#include "marrowzip/common/error.hpp"
#include "marrowzip/filesystem/beneath.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "support/raw_archive.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using namespace marrowzip::testing;

namespace fs = std::filesystem;

using Options = UnzipOptions;

struct Outcome {
    Error error{std::error_code()};     // no code when the archive was extracted
    std::vector<std::string> tree;      // what dest holds, files with their sizes
    std::vector<std::string> warnings;  // their texts
};

Outcome unzipRaw(const fs::path& folder, const std::vector<RawEntry>& entries,
                 Options options = {}) {
    const fs::path parent = folder / "parent";
    fs::remove_all(parent);
    fs::create_directories(parent);
    writeFileBytes(folder / "a.zip", buildRawArchive(entries));
    Outcome outcome;
    options.warn = [&](const Warning& warning) { outcome.warnings.push_back(warning.text()); };
    outcome.error =
        errorOf([&] {
            unzipArchiveToDirectory(fileURL(folder / "a.zip"), fileURL(parent / "dest"), options);
        }).value_or(outcome.error);
    for (const std::string& item : listTree(parent)) {
        if (item == "dest") continue;
        EXPECT_TRUE(item.starts_with("dest/")) << item << " escaped";
        const bool file = fs::is_regular_file(fs::symlink_status(parent / item));
        outcome.tree.push_back(item.substr(5) +
                               (file ? " " + std::to_string(fs::file_size(parent / item)) : ""));
    }
    return outcome;
}

RawEntry withMode(RawEntry entry, std::uint32_t mode) {
    entry.mode = mode;
    return entry;
}

// Nothing lands outside the destination, whatever names and links try; a name that cannot name
// anything in the destination says why.
TEST(UnzippingHostileArchives, KeepsEveryItemInsideTheDestination) {
    TemporaryDirectory folder;
    const std::string absolute = (folder / "parent/absolute-evil.txt").string();
    const std::error_code badName = FileError::fileReadInvalidFileName;
    const std::error_code outside = ArchiveError::uncontainedSymlink;
    const struct {
        std::string title;
        std::vector<RawEntry> entries;
        std::error_code error;
        std::string detail = "";  // checked where given: why a name is refused
        bool allowLinksOutside = false;
    } cases[] = {
        {"absolute entry", {rawFile(absolute, "x")}, badName},
        {"climbing entry", {rawFile("a/../../evil.txt", "x")}, badName},
        {"NUL in a name", {rawFile(std::string("ok\0/../../evil.txt", 18), "x")}, badName},
        {"link to /etc/passwd", {rawLink("passwd", "/etc/passwd")}, outside},
        {"link out of the tree", {rawLink("sub/x", "../../x")}, outside},
        {"link resolved through an earlier link",
         {rawLink("l2", "."), rawLink("esc", "l2/..")},
         outside},
        {"links leading out allowed, yet no path through them",
         {rawLink("l2", "."), rawLink("esc", "l2/.."), rawFile("esc/evil.txt", "x")},
         badName,
         "",
         true},
        {"climbing out of a folder that a later link may replace",
         {rawLink("esc", "l2/.."), rawLink("l2", ".")},
         outside},
        {"a file over a link made earlier",
         {rawLink("l", "../victim"), rawFile("l", "x")},
         FileError::fileWriteFileExists,
         "",
         true},
        {"a name marked UTF-8 that is not UTF-8",
         {rawFile("bad\xff\xfe.txt", "x")},
         badName,
         "the name is marked as UTF-8 but is not valid UTF-8"},
        {"a file named './'",
         {withMode(rawFile("./", "x"), 0100644)},
         badName,
         "the path names the extraction folder itself"},
        {"a folder entry '../'", {rawFolder("../")}, badName, "the path leads out of the folder"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.title);
        const Outcome outcome =
            unzipRaw(folder.path(), test.entries, {.allowLinksOutside = test.allowLinksOutside});
        EXPECT_EQ(outcome.error.code(), test.error) << outcome.error.what();
        if (!test.detail.empty()) {
            EXPECT_EQ(outcome.error.detail(), test.detail);
            EXPECT_TRUE(outcome.tree.empty());
        }
    }
    // Links between folders of the tree, and paths through them, are fine.
    const Outcome inside =
        unzipRaw(folder.path(), {rawLink("lib/libz.so", "../lib64/libz.so.1"),
                                 rawFile("lib64/libz.so.1", "z"), rawLink("up/l", "../lib64"),
                                 rawFile("up/l/through.txt", "t"), rawFile("a/../b.txt", "b")});
    EXPECT_FALSE(inside.error.code()) << inside.error.what();
    EXPECT_EQ(readFileBytes(folder / "parent/dest/lib/libz.so"), bytesOf("z"));
    EXPECT_EQ(inside.tree,
              (std::vector<std::string>{"a", "b.txt 1", "lib", "lib/libz.so", "lib64",
                                        "lib64/libz.so.1 1", "lib64/through.txt 1", "up", "up/l"}));
}

RawEntry sharing(RawEntry entry, std::string name, std::uint32_t offset) {
    entry.name = std::move(name);
    entry.localHeaderOffset = offset;
    return entry;
}

// The local record of a stored "b" holding "hello", to be quoted inside another entry's data.
std::string localRecordOfB() {
    const Bytes archive = buildRawArchive({rawFile("b", "hello")});
    return std::string(archive.begin(), archive.begin() + 30 + 1 + 5);
}

// Extraction writes no more than the archive's own bytes can account for: an entry whose local
// record shares bytes with another (one compressed block listed many times) is refused before
// it is written, not even as an empty file. A file whose CRC-32 is wrong stays, as the last
// file of any failed extraction may.
TEST(UnzippingDamagedArchives, StopsAtTheFirstBadEntryAndKeepsWhatCameBefore) {
    const RawEntry a = rawFile("a", std::string(1000, 'a'));
    const RawEntry b = rawFile("b", "hello");
    // 32 bytes, then b's local record quoted, behind a descriptor that claims no data at all.
    RawEntry lyingDescriptor = rawFile("quoting", std::string(32, 'q') + localRecordOfB());
    lyingDescriptor.deferredSizes = true;
    lyingDescriptor.descriptorSize = 0;
    RawEntry intoTheDirectory = rawFile("long", "x");
    intoTheDirectory.uncompressedSize = 5000;
    RawEntry damaged = rawFile("damaged.txt", "data");
    damaged.crc = 0x12345678;
    RawEntry encrypted = rawFile("secret.txt", "xxxx");
    encrypted.flags |= 0x0001;
    const std::error_code overlap = ArchiveError::invalidLocalHeaderDataOffset;
    const struct {
        std::string title;
        std::vector<RawEntry> entries;
        std::error_code error;
        std::string entry;               // the one the error names
        std::vector<std::string> files;  // all that is written, with sizes
        Options options = {};
    } cases[] = {
        {"one local record, two central ones", {a, sharing(a, "b", 0)}, overlap, "b", {"a 1000"}},
        {"a local record inside the data of an earlier one",
         {rawFile("quoting", localRecordOfB()), sharing(b, "b", 37)},
         overlap,
         "b",
         {"quoting 36"}},
        {"a data descriptor that shrinks the quoting entry",
         {lyingDescriptor, sharing(b, "b", 37 + 32)},
         overlap,
         "b",
         {"quoting 68"}},
        {"stored data running into the central directory",
         {a, intoTheDirectory},
         overlap,
         "long",
         {"a 1000"}},
        {"records back to back", {a, b}, {}, "", {"a 1000", "b 5"}},
        // Records back to back are claimed as one range; its parts stay claimed.
        {"the second of two records back to back, again",
         {a, b, sharing(b, "c", 1031)},
         overlap,
         "c",
         {"a 1000", "b 5"}},
        {"the first of two records back to back, again",
         {a, b, sharing(a, "c", 0)},
         overlap,
         "c",
         {"a 1000", "b 5"}},
        {"a wrong CRC-32", {damaged}, ArchiveError::invalidCRC32, "damaged.txt", {"damaged.txt 4"}},
        {"unchecked CRC-32", {damaged}, {}, "", {"damaged.txt 4"}, {.verifyChecksum = false}},
        // The title is the detail: the entry's number, and what can be read before it.
        {"it is entry 2 of 3, and the entry before it is readable",
         {rawFile("first.txt", "1"), encrypted, rawFile("after", "")},
         ArchiveError::encryptedEntry,
         "secret.txt",
         {"first.txt 1"}},
    };
    TemporaryDirectory folder;
    for (const auto& test : cases) {
        SCOPED_TRACE(test.title);
        const Outcome outcome = unzipRaw(folder.path(), test.entries, test.options);
        EXPECT_EQ(outcome.error.code(), test.error) << outcome.error.what();
        EXPECT_EQ(outcome.error.entry(), test.entry);
        if (test.error == ArchiveError::encryptedEntry) {
            EXPECT_EQ(outcome.error.detail(), test.title);
        }
        EXPECT_EQ(outcome.tree, test.files);
    }
    // Deflated data beyond the declared size: the file cut at that size goes again, so that it
    // neither passes for a whole one nor blocks the next run.
    RawEntry inflatesBeyond = rawFile("zeros", std::string(1 << 20, '\0'), true);
    inflatesBeyond.uncompressedSize = 1000;
    const Outcome beyond = unzipRaw(folder.path(), {rawFile("first", "1"), inflatesBeyond});
    EXPECT_EQ(beyond.error.code(), CompressionError::corruptedData) << beyond.error.what();
    EXPECT_EQ(beyond.tree, std::vector<std::string>{"first 1"});
}

// Another user who may write to the destination swaps every file the moment it is closed for a
// link to a file of root's: an extraction run as root must change neither that file's mode
// nor its time (modes and times go through the open descriptor, never through the name).
TEST(UnzippingAsRoot, GivesNoAttributesThroughLinksSwappedInByAnotherUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to extract as root beside another user";
    constexpr uid_t nobody = 65534;
    TemporaryDirectory folder;
    const fs::path victim = folder / "victim";
    writeFileText(victim, "secret");
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    struct stat before {};
    ASSERT_EQ(::stat(victim.c_str(), &before), 0);

    std::vector<RawEntry> entries;
    for (int i = 0; i < 3000; ++i) {
        RawEntry entry = rawFile("f" + std::to_string(i), "x");
        entry.mode = 0100666;
        entry.dosDate = 0x2821;  // 2000-01-01
        entries.push_back(entry);
    }
    writeFileBytes(folder / "a.zip", buildRawArchive(entries));
    const fs::path dest = folder / "dest";
    fs::create_directory(dest);
    ASSERT_EQ(::chown(dest.c_str(), nobody, nobody), 0);

    // The other user watches the folder and replaces each closed file with a link.
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dest.c_str(), IN_CLOSE_WRITE), 0);
    const int destDescriptor = ::open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(destDescriptor, 0);
    const pid_t swapper = ::fork();
    if (swapper == 0) {
        if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) ::_exit(1);
        alignas(inotify_event) std::array<char, 1 << 16> buffer{};
        for (;;) {
            const ssize_t length = ::read(watch, buffer.data(), buffer.size());
            if (length <= 0) ::_exit(0);
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
                if (event->len > 0) {
                    ::unlinkat(destDescriptor, event->name, 0);
                    ::symlinkat(victim.c_str(), destDescriptor, event->name);
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }
    ::close(watch);
    ::close(destDescriptor);
    ASSERT_GT(swapper, 0);
    const auto error =
        errorOf([&] { unzipArchiveToDirectory(fileURL(folder / "a.zip"), fileURL(dest)); });
    const std::string failure = error ? error->what() : "";
    ::kill(swapper, SIGKILL);
    ::waitpid(swapper, nullptr, 0);

    struct stat after {};
    ASSERT_EQ(::stat(victim.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0600U) << failure;
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << failure;
    EXPECT_EQ(readFileBytes(victim), bytesOf("secret"));
    EXPECT_EQ(failure, "");
}

std::uint32_t modeOf(const fs::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// Archives other tools write and read without a fault are extracted, not refused: "./" and
// leading "./" components name the destination (whose mode and time a "./" entry leaves
// alone), a folder entry with data is a folder, and the data is ignored with a warning.
// Set-user-ID, set-group-ID and sticky bits are dropped unless they are to be kept.
TEST(UnzippingHarmlessArchives, ExtractsWhatOtherToolsAcceptAndDropsPrivileges) {
    RawEntry folderWithData = rawFolder("dir/");
    folderWithData.content = bytesOf("data");
    const struct {
        std::string title;
        std::vector<RawEntry> entries;
        std::vector<std::string> tree;
        std::map<std::string, std::uint32_t> modes = {};  // below dest; "" is dest itself
        std::vector<std::string> warnings = {};
        bool keepSpecialBits = false;
    } cases[] = {
        {"a './' folder entry first, as bsdtar writes it",
         {withMode(rawFolder("./"), 040700), rawFile("./a.txt", "a")},
         {"a.txt 1"},
         {{"", 0755}}},
        {"leading and inner './' components",
         {rawFile("./sub/./b.txt", "b")},
         {"sub", "sub/b.txt 1"}},
        {"a folder entry carrying data",
         {folderWithData},
         {"dir"},
         {},
         {"a.zip: dir/: the folder entry carries 4 bytes of data, which were ignored"}},
        {"set-user-ID, set-group-ID and sticky bits dropped",
         {withMode(rawFile("tool", "t"), 0106755), withMode(rawFolder("shared/"), 041777)},
         {"shared", "tool 1"},
         {{"tool", 0755}, {"shared", 0777}}},
        {"special bits kept when asked",
         {withMode(rawFile("tool", "t"), 0106755), withMode(rawFolder("shared/"), 041777)},
         {"shared", "tool 1"},
         {{"tool", 06755}, {"shared", 01777}},
         {},
         true},
    };
    TemporaryDirectory folder;
    for (const auto& test : cases) {
        SCOPED_TRACE(test.title);
        const Outcome outcome =
            unzipRaw(folder.path(), test.entries, {.keepSpecialBits = test.keepSpecialBits});
        EXPECT_FALSE(outcome.error.code()) << outcome.error.what();
        EXPECT_EQ(outcome.tree, test.tree);
        for (const auto& [path, mode] : test.modes) {
            EXPECT_EQ(modeOf(folder / "parent/dest" / path), mode) << std::oct << path;
        }
        std::vector<std::string> warnings;  // from the archive's name on
        for (const std::string& warning : outcome.warnings)
            warnings.push_back(warning.substr(warning.rfind("a.zip")));
        EXPECT_EQ(warnings, test.warnings);
    }
}

// The walk used where the kernel has no openat2 must give the kernel's answers.
TEST(WalkingBeneathAFolder, RefusesWhatLeavesItThroughLinks) {
    TemporaryDirectory folder;
    const auto root = folder / "root";
    fs::create_directories(root / "sub/deep");
    fs::create_directory_symlink(".", root / "l2");
    fs::create_directory_symlink("l2/..", root / "esc");
    fs::create_directory_symlink("../../sub/deep", root / "sub/deep/back");
    fs::create_directory_symlink(folder.path(), root / "absolute");
    const UniqueFd descriptor(::open(root.c_str(), O_PATH | O_DIRECTORY));
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"sub", "deep", "back"}, 0},
        {{"esc"}, EXDEV},
        {{"absolute"}, EXDEV},
        {{"missing"}, ENOENT},
    };
    for (const auto& [components, expected] : cases) {
        UniqueFd opened;
        EXPECT_EQ(walkBeneath(descriptor.get(), components, opened), expected)
            << components.front();
        EXPECT_EQ(opened.valid(), expected == 0);
    }
}

}  // namespace
}  // namespace marrowzip
