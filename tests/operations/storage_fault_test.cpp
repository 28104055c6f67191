// Storage that fails in the middle of an operation, at every point where a transfer begins or
// ends: the archive is afterwards either exactly as before or exactly as the operation leaves
// it, and it opens and lists the entries that go with that state.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <functional>

#include "marrowzip/processing/memory_file.hpp"
#include "operations/append_support.hpp"
#include "support/failing_storage.hpp"

namespace marrowzip::testing {
namespace {

using Kind = StorageFault::Kind;

constexpr std::int64_t chunk = 4096;

struct Contents {
    std::vector<std::pair<std::string, Bytes>> entries;
};

Contents listContents(const Bytes& archiveBytes) {
    Archive archive = Archive::openMemory(archiveBytes, Archive::AccessMode::read);
    Contents contents;
    EntryIterator entries = archive.makeEntryIterator();
    while (auto entry = entries.next()) {
        contents.entries.emplace_back(entry->path(), entryBytes(archive, *entry));
    }
    EXPECT_FALSE(entries.endedEarly());
    return contents;
}

bool operator==(const Contents& a, const Contents& b) {
    return a.entries == b.entries;
}

Bytes sampleArchive() {
    Archive archive = Archive::openMemory({}, Archive::AccessMode::create);
    appendBytes(archive, "one", textBytes(30000), CompressionMethod::deflate);
    appendBytes(archive, "two", randomBytes(9000));
    return *archive.data();
}

// An operation on the archive; `one` is its entry "one", looked up before the storage fails.
using Operation = std::function<void(Archive&, const Entry& one)>;

// The points where a fault of `kind` changes the course of the operation: before and inside
// every transfer (each total, and one byte past it).
std::vector<std::uint64_t> faultPoints(const TransferLog& log, Kind kind, std::uint64_t size) {
    std::vector<std::uint64_t> points;
    const auto& marks = kind == Kind::readError    ? log.readTotals
                        : kind == Kind::writeError ? log.writeTotals
                                                   : log.writeEnds;
    for (std::uint64_t mark : marks) {
        if (kind == Kind::fullDisk && mark <= size) continue;
        for (std::uint64_t point : {mark - (kind == Kind::fullDisk), mark + 1}) {
            if (points.empty() || points.back() < point) points.push_back(point);
        }
    }
    return points;
}

TEST(StorageFaults, LeaveTheArchiveAsItWasOrAsTheOperationLeavesIt) {
    TemporaryDirectory folder;
    const Bytes data = textBytes(20000, 7);
    writeFileBytes(folder / "source", data);
    const FileURL source = FileURL::fromPath((folder / "source").string());
    const auto provided = [&](CompressionMethod method) {
        return [&, method](Archive& archive, const Entry&) {
            archive.appendEntry(
                "three", EntryType::file, std::ssize(data), sampleDate, std::nullopt, method, chunk,
                nullptr, [&](std::int64_t position, std::int64_t size) {
                    return Bytes(data.begin() + position, data.begin() + position + size);
                });
        };
    };
    const auto fromFile = [&](CompressionMethod method) {
        return [&, method](Archive& archive, const Entry&) {
            archive.appendEntry("three", source, method, chunk);
        };
    };
    const std::pair<std::string, Operation> operations[] = {
        {"append, provider, stored", provided(CompressionMethod::none)},
        {"append, provider, deflated", provided(CompressionMethod::deflate)},
        {"append, file, stored", fromFile(CompressionMethod::none)},
        {"append, file, deflated", fromFile(CompressionMethod::deflate)},
        {"removal", [](Archive& archive, const Entry& one) { archive.removeEntry(one, chunk); }},
    };
    const Bytes before = sampleArchive();
    const Contents contentsBefore = listContents(before);
    for (const auto& [title, operation] : operations) {
        // A run without faults gives the outcome and the transfers it takes.
        auto log = std::make_shared<TransferLog>();
        auto file = MemoryFile::make(before);
        Archive reference = Archive::openMemoryFile(file, Archive::AccessMode::update);
        const Entry one = *reference.findEntry("one");
        file->setTransferGate(recordingGate(log));
        operation(reference, one);
        const Bytes after = *reference.data();
        const Contents contentsAfter = listContents(after);

        for (Kind kind : {Kind::readError, Kind::writeError, Kind::fullDisk}) {
            for (std::uint64_t point : faultPoints(*log, kind, before.size())) {
                SCOPED_TRACE(::testing::Message()
                             << title << ", fault " << static_cast<int>(kind) << " at " << point);
                auto failing = MemoryFile::make(before);
                Archive archive = Archive::openMemoryFile(failing, Archive::AccessMode::update);
                const Entry one = *archive.findEntry("one");
                failing->setTransferGate(failingGate({kind, point}));
                bool completed = true;
                try {
                    operation(archive, one);
                } catch (const Error& error) {
                    completed = false;
                    EXPECT_EQ(error.path(), "memory:/") << error.what();
                }
                const Bytes now = *archive.data();
                EXPECT_EQ(now, completed ? after : before);
                EXPECT_TRUE(listContents(now) == (completed ? contentsAfter : contentsBefore));
            }
        }
    }
}

TEST(StorageFaults, FailAnExtractionWithAnErrorNamingTheEntry) {
    const Bytes archiveBytes = sampleArchive();
    for (const std::string name : {"one", "two"}) {
        auto log = std::make_shared<TransferLog>();
        auto file = MemoryFile::make(archiveBytes);
        Archive reference = Archive::openMemoryFile(file, Archive::AccessMode::read);
        const Entry entry = *reference.findEntry(name);
        file->setTransferGate(recordingGate(log));
        const Bytes expected = entryBytes(reference, entry);
        for (std::uint64_t point : faultPoints(*log, Kind::readError, 0)) {
            SCOPED_TRACE(name + ", reads fail after " + std::to_string(point));
            const bool faultStrikes = point < *log->readTotals.rbegin();
            TemporaryDirectory folder;
            auto failing = MemoryFile::make(archiveBytes);
            Archive archive = Archive::openMemoryFile(failing, Archive::AccessMode::read);
            failing->setTransferGate(failingGate({Kind::readError, point}));
            try {
                archive.extractEntry(entry, FileURL::fromPath((folder / name).string()), chunk);
                EXPECT_FALSE(faultStrikes) << "the extraction reported success";
                EXPECT_EQ(readFileBytes(folder / name), expected);
            } catch (const Error& error) {
                EXPECT_TRUE(faultStrikes) << error.what();
                EXPECT_EQ(error.entry(), name) << error.what();
                EXPECT_EQ(error.path(), "memory:/") << error.what();
            }
        }
    }
}

// Removal on disk writes a new archive beside the old one: a disk that fills up at any point of
// that copy leaves the old archive, and nothing beside it.
TEST(StorageFaults, AFullDiskDuringARemovalLeavesTheArchiveFile) {
    TemporaryDirectory folder;
    const auto path = folder / "a.zip";
    const Bytes before = sampleArchive();
    Archive reference = Archive::openMemory(before, Archive::AccessMode::update);
    reference.removeEntry(*reference.findEntry("one"));
    const std::uint64_t sizeAfter = reference.data()->size();
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    for (std::uint64_t limit = 0; limit < sizeAfter; limit += chunk / 2) {
        SCOPED_TRACE(limit);
        std::filesystem::remove(path);
        writeFileBytes(path, before);
        Archive archive =
            Archive::openFile(FileURL::fromPath(path.string()), Archive::AccessMode::update);
        const Entry entry = *archive.findEntry("one");
        const rlimit limited{limit, saved.rlim_max};
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
        std::error_code code;
        try {
            archive.removeEntry(entry, chunk);
        } catch (const Error& error) {
            code = error.code();
        }
        ::setrlimit(RLIMIT_FSIZE, &saved);
        // A full disk shows as a failed write, or as EFBIG where the empty archive is created.
        EXPECT_TRUE(code == DataError::unwritableFile || code == std::errc::file_too_large)
            << code.message();
        EXPECT_EQ(readFileBytes(path), before);
        EXPECT_EQ(listTree(folder.path()), std::vector<std::string>{"a.zip"});
    }
    std::signal(SIGXFSZ, savedHandler);
}

}  // namespace
}  // namespace marrowzip::testing
