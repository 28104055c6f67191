// Entries read on worker threads: whichever finishes first, failures are reported in archive
// order, every file before the first is there, and folders and links still meet the tree a
// serial extraction would have built, and end with its modes and times.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/filesystem/unzip_directory.hpp"
#include "support/raw_archive.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using namespace marrowzip::testing;

namespace fs = std::filesystem;

// A test reads every entry, those without data on the caller's thread while nothing is under
// way, the others on the workers: damaged ones of either kind are still heard of in archive order
// (a small one behind a large one likely fails first), and a cancelled progress stops a pass of
// empty entries, which share one progress child.
TEST(ParallelUnzipping, TestsEmptyAndFullEntriesInArchiveOrder) {
    const auto damagedEmpty = [](std::string name) {
        RawEntry entry = rawFile(std::move(name), "");
        entry.crc = 1;
        return entry;
    };
    std::vector<RawEntry> entries = {damagedEmpty("e0"), rawFile("empty", "")};
    for (int i = 0; i < 40; ++i) {
        RawEntry entry =
            rawFile("f" + std::to_string(i), std::string(i == 20 ? 300000 : 2000, 'a'), true);
        if (i == 5 || i == 20 || i == 21) entry.crc = 1;
        entries.push_back(entry);
        if (i == 10 || i == 30) entries.push_back(damagedEmpty("e" + std::to_string(i)));
    }
    for (int i = 0; i < 300; ++i)
        entries.push_back(rawFile("g" + std::to_string(i), ""));
    entries.push_back(damagedEmpty("last"));
    const TemporaryDirectory folder;
    writeFileBytes(folder / "a.zip", buildRawArchive(entries));
    Archive archive = Archive::openFile(fileURL(folder / "a.zip"), Archive::AccessMode::read);
    for (int run = 0; run < 5; ++run) {
        std::vector<std::string> damaged;
        Progress progress;
        const ExtractResult result =
            extractEntries(archive, {},
                           {.onEntryError = [&](const Entry&, const std::string& path,
                                                const Error&) { damaged.push_back(path); },
                            .progress = childProgressOf(progress),
                            .workers = 4});
        EXPECT_EQ(damaged,
                  (std::vector<std::string>{"e0", "f5", "e10", "f20", "f21", "e30", "last"}));
        EXPECT_EQ(result.extracted, entries.size() - 7);
    }
    Progress cancelled;
    cancelled.cancel();
    std::size_t started = 0;
    const auto error = errorOf([&] {
        extractEntries(archive, {},
                       {.filter =
                            [&](const Entry&, const std::string& path) {
                                started += path.starts_with("g") ? 1 : 0;
                                return path.starts_with("g");
                            },
                        .progress = childProgressOf(cancelled),
                        .workers = 4});
    });
    ASSERT_TRUE(error) << "the cancelled pass went on";
    EXPECT_EQ(error->code(), ArchiveError::cancelledOperation) << error->what();
    EXPECT_EQ(started, 1U);
}

// Every file with its size, and every folder: the result to compare between runs.
std::vector<std::string> treeWithSizes(const fs::path& root) {
    std::vector<std::string> tree;
    for (const std::string& item : listTree(root)) {
        const bool file = fs::is_regular_file(fs::symlink_status(root / item));
        tree.push_back(item + (file ? " " + std::to_string(fs::file_size(root / item)) : ""));
    }
    return tree;
}

// Whatever the threads do first, a failed extraction reports the first damaged entry in archive
// order (a small damaged one behind it likely fails first) and leaves the entries before it, a
// path through a link among them, and what was written of it: the files that workers finished
// for later entries, and the folders made for them, are removed again. A folder that was there
// before stays, even if empty.
TEST(ParallelUnzipping, LeavesWhatASerialRunLeavesAfterAFailure) {
    std::vector<RawEntry> entries = {rawFile("first", std::string(100, 'f')), rawFolder("d/"),
                                     rawLink("l", "d"), rawFile("l/through-the-link", "x")};
    for (const auto& [name, size] : {std::pair{"damaged", 100000}, {"small-damaged", 2000}}) {
        RawEntry damaged = rawFile(name, std::string(size, 'd'), true);
        damaged.crc = 1;
        entries.push_back(damaged);
    }
    for (int i = 0; i < 150; ++i) {
        entries.push_back(rawFile("d" + std::to_string(i % 7) + "/sub/f" + std::to_string(i),
                                  std::string(10 + i, 'x')));
    }
    entries.push_back(rawFile("existing/after", "x"));
    const TemporaryDirectory folder;
    writeFileBytes(folder / "a.zip", buildRawArchive(entries));
    const auto extract = [&](const fs::path& out, unsigned workers) {
        fs::create_directories(out / "existing");
        const auto error = errorOf([&] {
            unzipArchiveToDirectory(fileURL(folder / "a.zip"), fileURL(out), {.workers = workers});
        });
        EXPECT_EQ(error ? error->code() : std::error_code(), ArchiveError::invalidCRC32);
        EXPECT_EQ(error ? error->entry() : "extracted", "damaged");
        return treeWithSizes(out);
    };
    const std::vector<std::string> serial = extract(folder / "serial", 1);
    EXPECT_EQ(serial, (std::vector<std::string>{"d", "d/through-the-link 1", "damaged 100000",
                                                "existing", "first 100", "l"}));
    for (int run = 0; run < 50; ++run) {
        const fs::path out = folder / ("run" + std::to_string(run));
        EXPECT_EQ(extract(out, 4), serial) << "run " << run;
        fs::remove_all(out);
    }
}

// The workers read the local headers, yet one that cannot be read ends the pass where a serial
// run ends it: the entries before it are there, nothing after it, and the error counts them.
TEST(ParallelUnzipping, EndsAtADamagedLocalHeaderWhereASerialRunEnds) {
    std::vector<RawEntry> entries;
    for (int i = 0; i < 200; ++i) {
        entries.push_back(rawFile("d" + std::to_string(i % 5) + "/f" + std::to_string(i),
                                  std::string(50 + i, 'x')));
    }
    Bytes archive = buildRawArchive(entries);
    const Bytes signature = {'P', 'K', 3, 4};
    auto local = archive.begin();
    for (int i = 0; i <= 120; ++i)
        local =
            std::search(local + (i > 0 ? 1 : 0), archive.end(), signature.begin(), signature.end());
    *local = 'X';  // the local header of f120
    const TemporaryDirectory folder;
    writeFileBytes(folder / "a.zip", archive);
    const std::string detail =
        "the central directory ends at a damaged record after 120 of 200 entries";
    const auto extract = [&](const fs::path& out, unsigned workers) {
        const auto error = errorOf([&] {
            unzipArchiveToDirectory(fileURL(folder / "a.zip"), fileURL(out), {.workers = workers});
        });
        EXPECT_EQ(error ? error->detail() : "extracted", detail);
        return treeWithSizes(out);
    };
    const std::vector<std::string> serial = extract(folder / "serial", 1);
    EXPECT_EQ(serial.size(), 125U);  // f0 to f119 and their five folders
    for (int run = 0; run < 20; ++run) {
        const fs::path out = folder / ("run" + std::to_string(run));
        EXPECT_EQ(extract(out, 4), serial) << "run " << run;
        Archive opened = Archive::openFile(fileURL(folder / "a.zip"), Archive::AccessMode::read);
        const ExtractResult tested = extractEntries(
            opened, {},
            {.onEntryError = [](const Entry&, const std::string&, const Error&) {}, .workers = 4});
        EXPECT_EQ(tested.extracted, 120U);
        EXPECT_EQ(tested.endedEarly ? tested.endedEarly->detail() : "", detail);
    }
}

// Every failure with its entry, then every item with its type, mode, modification time (to the
// second) and size: the outcome of one extraction, to compare with a serial one.
std::vector<std::string> extractedWith(const fs::path& archive, const fs::path& out,
                                       unsigned workers, bool handler) {
    std::vector<std::string> outcome;
    ExtractOptions options{.workers = workers};
    if (handler) {
        options.onEntryError = [&](const Entry&, const std::string& path, const Error& error) {
            outcome.push_back("failed: " + path + " " + error.code().message());
        };
    }
    if (const auto error =
            errorOf([&] { unzipArchiveToDirectory(fileURL(archive), fileURL(out), options); })) {
        outcome.push_back("failed: " + error->entry() + " " + error->code().message() + " (ended)");
    }
    for (const std::string& item : listTree(out)) {
        struct stat status {};
        EXPECT_EQ(::lstat((out / item).c_str(), &status), 0) << item;
        const char* type = S_ISDIR(status.st_mode)   ? "folder"
                           : S_ISLNK(status.st_mode) ? "link"
                                                     : "file";
        std::ostringstream line;
        line << item << " " << type << " " << std::oct << (status.st_mode & 07777) << std::dec
             << " " << status.st_mtim.tv_sec;
        if (S_ISREG(status.st_mode)) line << " " << status.st_size;
        outcome.push_back(line.str());
    }
    return outcome;
}

// The outcome of a serial extraction of folder/a.zip, after checking that ten runs on four
// workers end the same.
std::vector<std::string> serialOutcomeMatchedInParallel(const fs::path& folder, bool handler) {
    const auto serial = extractedWith(folder / "a.zip", folder / "serial", 1, handler);
    fs::remove_all(folder / "serial");
    for (int run = 0; run < 10; ++run) {
        const fs::path out = folder / ("run" + std::to_string(run));
        EXPECT_EQ(extractedWith(folder / "a.zip", out, 4, handler), serial) << "run " << run;
        fs::remove_all(out);
    }
    return serial;
}

// Folder entries are made on the workers beside the files, yet each meets the tree a serial run
// would have built by then. A file "a" followed by a folder "a/b/" refuses the folder, not the
// file, even when the folder's batch starts while "a" is being written; a folder "x/y/"
// followed by a file "x" refuses the file, even when the file's batch starts first; a folder
// entry "x/" after it finds the folder. The entry "./" names the folder itself. With and without a
// handler, the failures and the tree are the serial run's.
TEST(ParallelUnzipping, FoldersMeetTheTreeASerialRunBuilds) {
    const std::string large(std::size_t{900} << 10, 'l');
    const std::vector<RawEntry> entries = {
        rawFile("a", std::string(std::size_t{3} << 20, 'a')),
        rawFolder("a/b/"),
        rawFile("filler1", std::string(std::size_t{1100} << 10, 'f')),
        rawFile("big", large),
        rawFolder("x/y/"),
        rawFile("filler2", std::string(std::size_t{200} << 10, 'f')),
        rawFile("x", "a file where a folder is"),
        rawFolder("./"),
        rawFile("filler3", std::string(std::size_t{1100} << 10, 'f')),
        rawFolder("a/b/c/"),
        rawFolder("x/")};
    const TemporaryDirectory folder;
    writeFileBytes(folder / "a.zip", buildRawArchive(entries));
    for (const bool handler : {true, false}) {
        const auto serial = serialOutcomeMatchedInParallel(folder.path(), handler);
        EXPECT_EQ(std::ranges::count_if(
                      serial, [](const std::string& line) { return line.starts_with("failed: "); }),
                  handler ? 3 : 1);
        EXPECT_TRUE(serial[0].starts_with("failed: a/b/ ")) << serial[0];
    }
}

// Files whose paths lie above or below each other, the first large, the second starting at once
// on another worker: a file "p" followed by a file "p/q" refuses "p/q" for the file in its way,
// a file "r/s" followed by a file "r" refuses "r" for the folder in its way, as in a serial run,
// with and without a handler.
TEST(ParallelUnzipping, FilesAboveOrBelowEachOtherMeetTheTreeASerialRunBuilds) {
    const std::vector<RawEntry> entries = {
        rawFile("p", std::string(std::size_t{3} << 20, 'p')),
        rawFile("p/q", "below a file"),
        rawFile("filler1", std::string(std::size_t{1100} << 10, 'f')),
        rawFile("r/s", std::string(std::size_t{3} << 20, 's')),
        rawFile("filler2", std::string(std::size_t{200} << 10, 'f')),
        rawFile("r", "above a file"),
        rawFile("filler3", std::string(std::size_t{1100} << 10, 'f')),
        rawFolder("r/")};  // so that the folder's time is the archive's in every run
    const TemporaryDirectory folder;
    writeFileBytes(folder / "a.zip", buildRawArchive(entries));
    for (const bool handler : {true, false}) {
        const auto serial = serialOutcomeMatchedInParallel(folder.path(), handler);
        EXPECT_TRUE(serial[0].starts_with("failed: p/q ")) << serial[0];
        if (handler) {
            EXPECT_TRUE(serial[1].starts_with("failed: r ")) << serial[1];
        }
    }
}

// Two files of one name, the first behind a large file in its batch, the second starting at
// once on another worker: the second is the one refused, or, when existing items are
// overwritten, the one that stays, as in a serial run.
TEST(ParallelUnzipping, TheLaterOfTwoFilesOfOneNameMeetsTheEarlier) {
    const std::vector<RawEntry> entries = {
        rawFile("slow", std::string(std::size_t{900} << 10, 's')),
        rawFile("dup", std::string(std::size_t{200} << 10, '1')), rawFile("dup", "second"),
        rawFile("filler", std::string(std::size_t{1100} << 10, 'f'))};
    const TemporaryDirectory folder;
    writeFileBytes(folder / "a.zip", buildRawArchive(entries));
    for (const ExistingItems existing : {ExistingItems::refuse, ExistingItems::overwrite}) {
        const auto extract = [&](const fs::path& out, unsigned workers) {
            std::vector<std::string> failures;
            unzipArchiveToDirectory(
                fileURL(folder / "a.zip"), fileURL(out),
                {.existing = existing,
                 .onEntryError =
                     [&](const Entry&, const std::string& path, const Error& error) {
                         failures.push_back(path + " " + error.code().message());
                     },
                 .workers = workers});
            return std::pair{treeWithSizes(out), failures};
        };
        const auto serial = extract(folder / "serial", 1);
        EXPECT_EQ(serial.first[0], existing == ExistingItems::refuse ? "dup 204800" : "dup 6");
        for (int run = 0; run < 10; ++run) {
            const fs::path out = folder / ("run" + std::to_string(run));
            EXPECT_EQ(extract(out, 4), serial) << "run " << run;
            fs::remove_all(out);
        }
        fs::remove_all(folder / "serial");
    }
}

// A tree of nested folders whose entries come before, between and after their files, one of
// them twice with other attributes: with workers, every folder ends with the mode and time of
// its entry, as after a serial run.
TEST(ParallelUnzipping, FoldersGetTheModesAndTimesOfASerialRun) {
    std::vector<RawEntry> entries;
    const auto folderEntry = [](const std::string& name, std::uint32_t mode, int day) {
        RawEntry entry = rawFolder(name);
        entry.mode = 040000 | mode;
        entry.dosDate = static_cast<std::uint16_t>(0x5820 + day);
        return entry;
    };
    const std::uint32_t modes[] = {0755, 0750, 0700, 0775, 0705};
    for (int top = 0; top < 4; ++top) {
        const std::string t = "t" + std::to_string(top) + "/";
        if (top % 2 == 0) entries.push_back(folderEntry(t, modes[top % 5], 1 + top));
        for (int sub = 0; sub < 12; ++sub) {
            const std::string s = t + "s" + std::to_string(sub) + "/";
            if (sub % 3 != 2) entries.push_back(folderEntry(s, modes[sub % 5], 1 + sub));
            for (int file = 0; file < 4; ++file) {
                entries.push_back(rawFile(s + "f" + std::to_string(file),
                                          std::string(static_cast<std::size_t>(file) * 700, 'x'),
                                          file % 2 == 1));
            }
            if (sub % 3 == 2) entries.push_back(folderEntry(s, modes[(sub + 1) % 5], 2 + sub));
            entries.push_back(folderEntry(s + "empty/", 0711, 3));
        }
        if (top % 2 == 1) entries.push_back(folderEntry(t, modes[top % 5], 1 + top));
    }
    entries.push_back(folderEntry("t0/s1/", 0777, 20));  // again: the first entry's attributes hold
    const TemporaryDirectory folder;
    writeFileBytes(folder / "a.zip", buildRawArchive(entries));
    const auto serial = extractedWith(folder / "a.zip", folder / "serial", 1, false);
    EXPECT_FALSE(serial[0].starts_with("failed: ")) << serial[0];
    for (int run = 0; run < 10; ++run) {
        const fs::path out = folder / ("run" + std::to_string(run));
        EXPECT_EQ(extractedWith(folder / "a.zip", out, 4, false), serial) << "run " << run;
        fs::remove_all(out);
    }
}

// A failure ends the pass after a folder entry whose folder a later file, on another worker,
// made first: what the workers made for later entries goes again, but the folder stays, with its
// entry's mode, as after a serial run.
TEST(ParallelUnzipping, KeepsAFolderOfAnEarlierEntryThatALaterFileMade) {
    RawEntry kept = rawFolder("k/");
    kept.mode = 040700;
    RawEntry damaged = rawFile("damaged", "d");
    damaged.crc = 1;
    const std::vector<RawEntry> entries = {
        rawFile("big", std::string(std::size_t{900} << 10, 'b')),
        kept,
        damaged,
        rawFile("filler", std::string(std::size_t{200} << 10, 'f')),
        rawFile("k/f", "later"),
        rawFile("k/g/h", "later"),
        rawFile("after", std::string(std::size_t{1100} << 10, 'a'))};
    const TemporaryDirectory folder;
    writeFileBytes(folder / "a.zip", buildRawArchive(entries));
    const auto serial = extractedWith(folder / "a.zip", folder / "serial", 1, false);
    // The failure, then big, damaged (what was written of it) and k.
    ASSERT_EQ(serial.size(), 4U);
    EXPECT_TRUE(serial[0].starts_with("failed: damaged ")) << serial[0];
    for (int run = 0; run < 10; ++run) {
        const fs::path out = folder / ("run" + std::to_string(run));
        EXPECT_EQ(extractedWith(folder / "a.zip", out, 4, false), serial) << "run " << run;
        fs::remove_all(out);
    }
}

// How far the resident memory of a child process running `body` rises above where it started,
// in MiB (at most 255).
int residentGrowthInChild(const std::function<void()>& body) {
    const int status = exitStatusInChild([&] {
        std::uint64_t pages = 0;
        std::uint64_t resident = 0;
        std::ifstream("/proc/self/statm") >> pages >> resident;
        const std::uint64_t before = resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        body();
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        const std::uint64_t peak = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
        const std::uint64_t growth = peak > before ? (peak - before) >> 20 : 0;
        return static_cast<int>(std::min<std::uint64_t>(growth, 254));
    });
    return status < 0 ? 255 : status;
}

// Sixteen workers share one budget: 32 entries that each inflate to 8 MiB, with 16 MiB for all
// of them, keep the peak within the budget and the streaming buffers of the workers.
TEST(ParallelUnzipping, KeepsToOneMemoryBudgetWhateverTheWorkers) {
    if (sanitized) GTEST_SKIP() << "the sanitizers' shadow memory hides the figure";
    constexpr std::size_t size = std::size_t{8} << 20;
    const Bytes zeros(size, 0);
    RawEntry entry = rawFile("", "");
    entry.content = rawDeflate(zeros, 9);
    entry.method = 8;
    entry.uncompressedSize = static_cast<std::uint32_t>(size);
    entry.crc = static_cast<std::uint32_t>(crc32(0, zeros.data(), static_cast<uInt>(size)));
    std::vector<RawEntry> entries;
    for (int i = 0; i < 32; ++i) {
        entry.name = "z" + std::to_string(i);
        entries.push_back(entry);
    }
    const TemporaryDirectory folder;
    writeFileBytes(folder / "a.zip", buildRawArchive(entries));
    const int growth = residentGrowthInChild([&] {
        unzipArchiveToDirectory(fileURL(folder / "a.zip"), fileURL(folder / "out"),
                                {.workers = 16, .memoryBudget = std::uint64_t{16} << 20});
    });
    EXPECT_LT(growth, 16 + 16) << "MiB above the start";
}

}  // namespace
}  // namespace marrowzip
