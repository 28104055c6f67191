// Parallel bulk appends: their workers, a watcher reading the progress, and a cancel from the
// watcher's thread or a failure at the 21st item. The archive is the serial one, or a valid
// prefix of it with the entries before the failing one and nothing of it; the error names the
// failing entry, whichever later call comes to report it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "marrowzip/filesystem/tree_walk.hpp"
#include "operations/append_support.hpp"

namespace marrowzip::testing {
namespace {

const Archive::BulkOptions serial{1};
// A budget small enough (1 MiB for each of the three workers) that the large files of the
// tree go in blocks of 128 KiB.
const Archive::BulkOptions parallel{3, std::uint64_t{3} << 20};

// A tree whose files take every path of a parallel bulk append — empty, small (compressed whole),
// larger than the worker budget (compressed in blocks), incompressible — with a folder and a link.
struct SampleTree {
    TemporaryDirectory folder;
    std::filesystem::path root = folder / "tree";
    std::vector<std::string> items;  // relative to root, parents first

    SampleTree() {
        std::filesystem::create_directories(root / "d");
        items.push_back("d");
        add("d/empty", {});
        for (std::uint32_t i = 0; i < 40; ++i)
            add("d/small" + std::to_string(i), textBytes(1000 + i * 700, i));
        std::filesystem::create_symlink("small1", root / "d/link");
        items.push_back("d/link");
        add("d/noise.bin", randomBytes(100000, 6));
        add("big.log", textBytes(3 << 20, 7));
        add("big.bin", randomBytes(1536 << 10, 8));
        add("last", textBytes(5000, 9));
        add("d/noise-small.bin", randomBytes(5000, 10));  // read whole by the serial writer too
        // More files than the queue holds: the writer waits for a quarter of it at a time, and
        // small files go to the workers in runs.
        std::filesystem::create_directories(root / "e");
        items.push_back("e");
        for (std::uint32_t i = 0; i < 200; ++i)
            add("e/tiny" + std::to_string(i), textBytes(50 + i, i));
    }
    void add(const std::string& name, const Bytes& bytes) {
        writeFileBytes(root / name, bytes);
        items.push_back(name);
    }
};

void archiveTree(const SampleTree& tree, const std::filesystem::path& path,
                 Archive::BulkOptions options, CompressionMethod method) {
    Archive archive = openArchive(path);
    Archive::BulkAppend bulk = archive.beginBulkAppend(defaultChunkSize, options);
    const Archive::RelativeTo base{fileURL(tree.root)};
    for (const std::string& item : tree.items)
        archive.appendEntry(item, base, {.compressionMethod = method});
    bulk.finish();
}

// Workers change who compresses, not what the archive holds nor where: stored, the bytes are the
// serial run's. Asked to, what compression would not shrink is stored, whether compressed whole
// or in blocks, by the workers or by the caller's thread alone; what shrinks stays compressed.
// Otherwise the method asked for is written. At the fastest level (another coder for blocks) and
// the default, the other tools accept it.
TEST(ParallelBulkAppends, WriteTheSerialBytesAndStoreWhatCompressionWouldNotShrink) {
    const SampleTree tree;
    const TemporaryDirectory folder;
    archiveTree(tree, folder / "serial.zip", serial, CompressionMethod::none);
    archiveTree(tree, folder / "parallel.zip", parallel, CompressionMethod::none);
    EXPECT_EQ(readFileBytes(folder / "parallel.zip"), readFileBytes(folder / "serial.zip"));
    // {level, whether what does not shrink is stored, workers}
    for (const auto& [level, storing, workers] :
         {std::tuple{fastestCompressionLevel, false, parallel.workers},
          {defaultCompressionLevel, false, parallel.workers},
          {defaultCompressionLevel, true, parallel.workers},
          {defaultCompressionLevel, true, serial.workers}}) {
        SCOPED_TRACE(::testing::Message() << "level " << level << (storing ? ", storing" : "")
                                          << ", workers " << workers);
        Archive::BulkOptions options = parallel;
        options.workers = workers;
        options.level = level;
        options.storeIfNotSmaller = storing;
        const auto path = folder / ("asked" + std::to_string(level) + std::to_string(storing) +
                                    std::to_string(workers) + ".zip");
        archiveTree(tree, path, options, CompressionMethod::deflate);
        EXPECT_EQ(clientComplaints(path), "");
        Archive reader = openArchive(path, Archive::AccessMode::read);
        for (const std::string name :
             {"d/noise.bin", "d/noise-small.bin", "big.bin", "last", "big.log"}) {
            const Entry entry = *reader.findEntry(name);
            const int method = storing && name.ends_with(".bin") ? 0 : 8;
            EXPECT_EQ(entry.centralDirectoryStructure.compressionMethod, method) << name;
            if (storing) {
                EXPECT_LE(entry.compressedSize(), entry.uncompressedSize()) << name;
            }
            EXPECT_EQ(entryBytes(reader, entry), readFileBytes(tree.root / name)) << name;
        }
    }
}

TEST(ParallelBulkAppends, MatchTheSerialArchiveOrLeaveAValidPrefixOfIt) {
    const SampleTree tree;
    const TemporaryDirectory folder;
    archiveTree(tree, folder / "serial.zip", serial, CompressionMethod::deflate);
    const Contents serialContents = contentsOf(folder / "serial.zip");
    const Archive::RelativeTo base{fileURL(tree.root)};
    const std::string shortSource = "/sys/kernel/uevent_seqnum";  // claims 4096 bytes, has a few
    // Claims 4096 bytes, and refuses to be opened for reading even by root. Compressed whole, it
    // is opened by the worker that reads it, after the call that queued it has returned.
    const std::string unopenable = "/sys/bus/pci/rescan";
    enum class Failure {
        none,
        watcherCancels,
        missingSource,
        shortSource,
        unopenable,
        cancelled,
        thrown
    };
    const std::tuple<Failure, std::error_code, std::string> cases[] = {
        // failure, error, named in the error's message
        {Failure::none, {}, ""},
        {Failure::watcherCancels, ArchiveError::cancelledOperation, ""},
        {Failure::missingSource, FileError::fileReadNoSuchFile, "missing"},
        {Failure::shortSource, ArchiveError::invalidEntrySize, "uevent"},
        {Failure::unopenable, FileError::fileReadNoPermission, "rescan"},
        {Failure::cancelled, ArchiveError::cancelledOperation, ""},
        {Failure::thrown, std::make_error_code(std::errc::interrupted), "the caller gave up"},
    };
    constexpr std::size_t before = 20;
    for (const auto& [failure, expected, named] : cases) {
        SCOPED_TRACE(static_cast<int>(failure));
        if (failure == Failure::shortSource && !std::filesystem::exists(shortSource)) continue;
        if (failure == Failure::unopenable && !std::filesystem::exists(unopenable)) continue;
        const auto path = folder / ("a" + std::to_string(static_cast<int>(failure)) + ".zip");
        Progress progress(std::ssize(tree.items));
        const double cancelAbove = failure == Failure::watcherCancels ? 0.2 : 2;
        const auto error = watched(progress, cancelAbove, [&] {
            Archive archive = openArchive(path);
            Archive::BulkAppend bulk = archive.beginBulkAppend(defaultChunkSize, parallel);
            for (std::size_t i = 0; i < tree.items.size(); ++i) {
                if (i == before && failure == Failure::missingSource) {
                    archive.appendEntry("missing", base);
                } else if (i == before && failure == Failure::shortSource) {
                    archive.appendEntry("uevent", FileURL::fromPath(shortSource));
                } else if (i == before && failure == Failure::unopenable) {
                    archive.appendEntry("rescan", FileURL::fromPath(unopenable),
                                        {.compressionMethod = CompressionMethod::deflate});
                } else if (i == before && failure == Failure::cancelled) {
                    progress.cancel();
                } else if (i == before && failure == Failure::thrown) {
                    throw Error(std::make_error_code(std::errc::interrupted), "the caller gave up");
                }
                archive.appendEntry(tree.items[i], base,
                                    {.compressionMethod = CompressionMethod::deflate,
                                     .progress = progress.makeChild(1, 1).get()});
            }
            bulk.finish();
        });
        const std::string reported = error ? error->what() : "no error";
        // The watcher may come too late on a busy machine.
        if (error || failure != Failure::watcherCancels) {
            EXPECT_EQ(error ? error->code() : std::error_code(), expected) << reported;
            EXPECT_NE(reported.find(named), std::string::npos) << reported;
        }

        // Every entry queued before a failure of the caller's own is written on the way out.
        EXPECT_EQ(clientComplaints(path), "");
        const Contents contents = contentsOf(path);
        const bool cancelled = failure == Failure::cancelled || failure == Failure::watcherCancels;
        EXPECT_GE(contents.size(), cancelled                  ? 0
                                   : failure == Failure::none ? serialContents.size()
                                                              : before);
        ASSERT_LE(contents.size(), failure == Failure::thrown ? before : serialContents.size());
        for (std::size_t i = 0; i < contents.size(); ++i)
            EXPECT_EQ(contents[i], serialContents[i]) << i;
    }
}

// Small files go to the workers in groups, each prepared, read and compressed by one worker. A
// file refused in the middle of a group (its described size is wrong, or its path) fails alone,
// reported by the call that comes to write it; the files before and behind it land in order with
// their own bytes, unless the call that reports it is finish(), which drops what lies behind. In a
// file and in memory alike.
TEST(ParallelBulkAppends, PlaceTheFilesAroundAFailedOneOfAGroup) {
    const TemporaryDirectory folder;
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < 150; ++i) {
        names.push_back("f" + std::to_string(100 + i));
        writeFileBytes(folder / names.back(), textBytes(100 + i * 37, i));
    }
    const std::set<std::size_t> wrongSize{5, 70};
    const std::set<std::size_t> wrongPath{9, 149};
    const auto failing = [&](std::size_t i) {
        return wrongSize.contains(i) || wrongPath.contains(i);
    };
    const auto indexNamed = [&](const std::string& message) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (failing(i) && message.find(names[i]) != std::string::npos) return i;
        }
        ADD_FAILURE() << "names no refused file: " << message;
        return names.size();
    };
    for (const bool inMemory : {false, true}) {
        SCOPED_TRACE(inMemory ? "in memory" : "in a file");
        const auto path = folder / "a.zip";
        std::filesystem::remove(path);
        std::optional<Archive> archive;
        archive.emplace(inMemory ? Archive::openMemory({}, Archive::AccessMode::create)
                                 : openArchive(path));
        std::vector<std::size_t> reported;  // the refused files the errors name, in order
        std::vector<bool> returned(names.size(), false);
        std::optional<std::size_t> reportedByFinish;
        {
            Archive::BulkAppend bulk = archive->beginBulkAppend(defaultChunkSize, parallel);
            for (std::size_t i = 0; i < names.size(); ++i) {
                const FileURL url = fileURL(folder / names[i]);
                std::optional<ProvidedEntry> described = describeItem(url);
                ASSERT_TRUE(described);
                if (wrongSize.contains(i)) described->uncompressedSize += 1;
                const std::string entryPath = wrongPath.contains(i) ? names[i] + "/" : names[i];
                try {
                    archive->appendEntry(
                        entryPath, url,
                        {.compressionMethod = CompressionMethod::deflate, .described = described});
                    returned[i] = true;
                } catch (const Error& error) {
                    reported.push_back(indexNamed(error.what()));
                }
                // Time for the workers, so that later calls rather than finish() report: over
                // 200 ms between a group's last file and the last call, for a loaded machine.
                if (i % 8 == 7) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            try {
                bulk.finish();
            } catch (const Error& error) {
                reported.push_back(indexNamed(error.what()));
                reportedByFinish = reported.back();
            }
        }
        // Each refused file is reported once, in order, up to the one finish() reports.
        std::vector<std::size_t> refused;
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (failing(i) && (!reportedByFinish || i <= *reportedByFinish)) refused.push_back(i);
        }
        EXPECT_EQ(reported, refused);
        ASSERT_TRUE(reportedByFinish);  // the last file is refused, and no call comes after it
        Contents expected;
        for (std::size_t i = 0; i < *reportedByFinish; ++i) {
            if (returned[i] && !failing(i))
                expected.emplace_back(names[i], readFileBytes(folder / names[i]));
        }
        EXPECT_GT(expected.size(), 60u);
        const Bytes bytes = inMemory ? *archive->data() : readFileBytes(path);
        EXPECT_EQ(contentsOf(bytes), expected);
        if (!inMemory) {
            EXPECT_EQ(clientComplaints(path), "");
        }
    }
}

// The blocks of a large entry, and runs of small entries, are written at their offsets by the
// workers: a disk that fills up under them fails the bulk append with the disk's own reason, and
// leaves a valid archive of the entries whose bytes all landed, each one whole.
TEST(ParallelBulkAppends, ReportAFullDiskUnderTheWorkersWritesAndKeepTheEntriesBefore) {
    const TemporaryDirectory folder;
    const std::string mount = (folder / "small").string();
    if (::geteuid() != 0 || runCommand("mkdir -p " + shellQuote(mount) +
                                       " && mount -t tmpfs -o size=600k tmpfs " + shellQuote(mount))
                                    .exitCode != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    struct Unmount {
        const std::string& mount;
        ~Unmount() { runCommand("umount " + shellQuote(mount)); }
    } unmount{mount};
    writeFileBytes(folder / "first", textBytes(3000, 1));
    writeFileBytes(folder / "large.bin", randomBytes(std::size_t{2} << 20, 2));
    std::vector<std::string> small;
    for (std::uint32_t i = 0; i < 60; ++i) {
        small.push_back("small" + std::to_string(100 + i));
        writeFileBytes(folder / small.back(), randomBytes(20000, i));
    }
    const auto path = std::filesystem::path(mount) / "a.zip";
    const Archive::RelativeTo base{fileURL(folder.path())};
    for (const bool ofLarge : {true, false}) {
        SCOPED_TRACE(ofLarge ? "a large entry" : "small entries");
        std::filesystem::remove(path);
        const std::vector<std::string> names =
            ofLarge ? std::vector<std::string>{"first", "large.bin"} : small;
        const auto error = errorOf([&] {
            Archive archive = openArchive(path);
            Archive::BulkAppend bulk = archive.beginBulkAppend(defaultChunkSize, parallel);
            for (const std::string& name : names)
                archive.appendEntry(name, base, {.compressionMethod = CompressionMethod::deflate});
            bulk.finish();
        });
        const Contents contents = contentsOf(path);
        EXPECT_EQ(clientComplaints(path), "");
        ASSERT_TRUE(error);
        EXPECT_NE(std::string(error->what()).find("no space left on device"), std::string::npos)
            << error->what();
        if (ofLarge) {
            EXPECT_NE(std::string(error->what()).find("large.bin"), std::string::npos);
            EXPECT_EQ(contents.size(), 1u);
            continue;
        }
        // The first of the entries in order, each with its own bytes.
        ASSERT_GE(contents.size(), 1u);
        ASSERT_LT(contents.size(), names.size());
        for (std::size_t index = 0; index < contents.size(); ++index) {
            ASSERT_EQ(contents[index].first, names[index]);
            EXPECT_EQ(contents[index].second, readFileBytes(folder / names[index]));
        }
    }
}

// A description taken before the append (as a plan takes it) spares the append its own look:
// many items are described from several threads, each in its own place; what cannot be archived
// as it is, or is gone, has none.
TEST(ParallelBulkAppends, DescribeItemsOnSeveralThreadsEachInItsPlace) {
    const TemporaryDirectory folder;
    std::vector<FileURL> items;
    for (std::uint32_t i = 0; i < 700; ++i) {
        writeFileBytes(folder / std::to_string(i), textBytes(i, i));
        items.push_back(fileURL(folder / std::to_string(i)));
    }
    std::filesystem::create_symlink("12345", folder / "link");
    ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0);
    for (const char* name : {"link", "pipe", "gone"})
        items.push_back(fileURL(folder / name));
    items.push_back(fileURL(folder.path(), true));
    const std::vector<std::optional<ProvidedEntry>> described = describeItems(items);
    ASSERT_EQ(described.size(), items.size());
    for (std::size_t i = 0; i < 700; ++i) {
        ASSERT_TRUE(described[i]) << i;
        EXPECT_EQ(described[i]->type, EntryType::file);
        EXPECT_EQ(described[i]->uncompressedSize, static_cast<std::int64_t>(i));
    }
    EXPECT_EQ(described[700]->type, EntryType::symlink);
    EXPECT_EQ(described[700]->uncompressedSize, 5);
    EXPECT_FALSE(described[701]);  // a pipe
    EXPECT_FALSE(described[702]);  // gone
    EXPECT_EQ(described[703]->type, EntryType::directory);
}

// A file that grew or shrank is refused, by a byte or more, and the entries before it stay valid:
// one changed since it was described (the bytes still decide, by the workers or by the caller's
// thread alike), or since it was queued. A large stored file is read by the writer when its turn
// comes, after later calls; a small one goes to a worker, which may read it before or after the
// change: it is then refused in the same way, or holds the bytes it had when it was read. One
// read tells a file of the right size (it asks for a byte more and takes a short answer as the
// end), so this is the only check that it grew.
TEST(ParallelBulkAppends, RefuseAFileThatChangedSizeSinceItWasDescribedOrQueued) {
    const TemporaryDirectory folder;
    const Archive::RelativeTo base{fileURL(folder.path())};
    writeFileBytes(folder / "first", textBytes(3000, 1));
    struct Case {
        std::size_t size;
        bool described;  // else changed once queued, and stored
        Archive::BulkOptions options;
    };
    for (const auto& [size, described, options] :
         {Case{3000, true, serial}, Case{3000, true, parallel}, Case{1000, false, parallel},
          Case{(std::size_t{2} << 20) + 5, false, parallel}}) {
        for (const long change : {1L, 70000L, -1L, 0L}) {
            SCOPED_TRACE(::testing::Message()
                         << size << (described ? " described" : " queued") << ", workers "
                         << options.workers << ", by " << change);
            const Bytes original = randomBytes(size, 3);
            writeFileBytes(folder / "changing", original);
            const auto resize = [&] {
                std::filesystem::resize_file(
                    folder / "changing",
                    static_cast<std::uintmax_t>(static_cast<long>(size) + change));
            };
            std::optional<ProvidedEntry> description;
            if (described) {
                description = describeItem(fileURL(folder / "changing"));
                resize();
            }
            const auto path = folder / "a.zip";
            std::filesystem::remove(path);
            const auto error = errorOf([&] {
                Archive archive = openArchive(path);
                Archive::BulkAppend bulk = archive.beginBulkAppend(defaultChunkSize, options);
                archive.appendEntry("first", base);
                archive.appendEntry("changing", base,
                                    {.compressionMethod = described ? CompressionMethod::deflate
                                                                    : CompressionMethod::none,
                                     .described = description});
                if (!described) resize();
                bulk.finish();
            });
            if (described || !error) {
                EXPECT_EQ(clientComplaints(path), "");
            }
            const bool small = size < (std::size_t{512} << 10);  // half a worker's budget
            if (change == 0 || (!described && small && !error)) {
                ASSERT_FALSE(error) << error->what();
                Archive reader = openArchive(path, Archive::AccessMode::read);
                EXPECT_EQ(entryBytes(reader, *reader.findEntry("changing")), original);
                continue;
            }
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), ArchiveError::invalidEntrySize) << error->what();
            EXPECT_NE(std::string(error->what()).find("changing"), std::string::npos);
            EXPECT_EQ(contentsOf(path).size(), 1u);
        }
    }
}

}  // namespace
}  // namespace marrowzip::testing
