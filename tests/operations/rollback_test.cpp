// An operation that fails midway — a provider that errs or lies about its size, a cancellation,
// a source file that changes, storage that fails or fills up at any point where a transfer begins
// or ends — leaves the archive byte for byte as before (or as the operation leaves it) and able to
// take further appends.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <functional>
#include <stdexcept>

#include "marrowzip/archive/archive_access.hpp"
#include "marrowzip/common/progress.hpp"
#include "marrowzip/processing/memory_file.hpp"
#include "operations/append_support.hpp"
#include "support/failing_storage.hpp"

namespace marrowzip::testing {
namespace {

using Kind = StorageFault::Kind;

constexpr std::int64_t chunk = 4096;

// The code of the error `operation` throws while files may not grow beyond `limit` bytes: a
// file-size limit fails writes beyond it with EFBIG, as a full disk fails them.
std::error_code codeOnAFullDisk(std::uint64_t limit, const std::function<void()>& operation) {
    rlimit saved{};
    EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const rlimit limited{limit, saved.rlim_max};
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const auto error = errorOf(operation);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);
    return error ? error->code() : std::error_code();
}

// Whatever stops an append midway, on its own or in a bulk run, the archive holds the entries
// before it, with their directory, when the error arrives (on its own: byte for byte the archive
// from before), and takes further appends; a bulk run goes on.
TEST(FailedAppends, LeaveTheArchiveAsBeforeTheFailingEntryAndUsable) {
    enum class Failure { cancelled, providerThrows, shortChunk, source };
    const std::tuple<Failure, std::error_code, std::string> cases[] = {
        // failure, error, the file appended for Failure::source
        {Failure::cancelled, ArchiveError::cancelledOperation, ""},
        {Failure::providerThrows, {}, ""},  // the provider's own exception comes through
        {Failure::shortChunk, ArchiveError::invalidEntrySize, ""},
        {Failure::source, FileError::fileReadNoSuchFile, "/nonexistent/source"},
        // /dev/zero reports 0 bytes and delivers more: a file that grew. (One that shrank fails
        // as a short chunk does.)
        {Failure::source, ArchiveError::invalidEntrySize, "/dev/zero"},
    };
    const Bytes data = randomBytes(5 * chunk);
    for (int variant = 0; variant < 8; ++variant) {
        const bool bulk = variant & 4, inMemory = variant & 2;
        const auto method = variant & 1 ? CompressionMethod::deflate : CompressionMethod::none;
        for (const auto& [failure, expected, source] : cases) {
            SCOPED_TRACE(::testing::Message() << "variant " << variant << ", failure "
                                              << static_cast<int>(failure) << source);
            // Not in a bulk run, which queues a file that exists and reports its error later
            // (see the concurrency suite).
            if (bulk && source == "/dev/zero") continue;
            SampleArchive sample(inMemory);
            Archive& archive = *sample.archive;
            std::optional<Archive::BulkAppend> run;
            if (bulk) run.emplace(archive.beginBulkAppend());
            for (int i = 0; i < 3; ++i)
                appendNumbered(archive, i);
            const Bytes before = bulk ? Bytes() : sample.bytes();
            Progress progress;
            int calls = 0;
            auto provider = [&](std::int64_t position, std::int64_t size) {
                Bytes chunk = slice(data, position, size);
                if (++calls != 2) return chunk;
                if (failure == Failure::providerThrows) throw std::runtime_error("gone");
                if (failure == Failure::cancelled) progress.cancel();
                if (failure == Failure::shortChunk) chunk.pop_back();
                return chunk;
            };
            try {
                if (failure == Failure::source) {
                    archive.appendEntry("failing", FileURL::fromPath(source),
                                        {.compressionMethod = method});
                } else {
                    archive.appendEntry(
                        "failing",
                        {.uncompressedSize = std::ssize(data), .modificationDate = sampleDate},
                        provider,
                        {.compressionMethod = method, .bufferSize = chunk, .progress = &progress});
                }
                ADD_FAILURE() << "the append succeeded";
            } catch (const Error& error) {
                EXPECT_EQ(error.code(), expected) << error.what();
                EXPECT_TRUE(source.empty() || error.path() == source) << error.what();
            } catch (const std::runtime_error&) {
                EXPECT_FALSE(expected);
            }
            EXPECT_LE(calls, 2);  // nothing more is read once the append fails
            EXPECT_EQ(sample.contents(), sampleContents(3));
            if (bulk) {
                EXPECT_TRUE(run->isOpen());
                EXPECT_EQ(sample.complaints(), "");
            } else {
                EXPECT_EQ(sample.bytes(), before);
            }
            appendNumbered(archive, 3);  // the archive's state follows its bytes
            if (run) run->finish();
            EXPECT_FALSE(archive.isBulkAppendOpen());
            EXPECT_EQ(sample.contents(), sampleContents(4));
        }
    }
}

// On disk, a full disk at any point leaves the old archive, nothing beside it, and an archive
// that takes further appends: after an append, a bulk run whose entries fit but not their
// directory, and a removal's copy beside the old archive (EFBIG where the empty copy is made).
TEST(FullDisks, LeaveTheArchiveFileAsItWasAndUsable) {
    using Operation = std::function<void(Archive&)>;
    const Operation append = [](Archive& archive) {
        appendBytes(archive, "big", randomBytes(1 << 20));
    };
    const Operation bulkRun = [](Archive& archive) {
        Archive::BulkAppend bulk = archive.beginBulkAppend();
        for (int i = 0; i < 3; ++i)
            appendBytes(archive, "entry" + std::to_string(i), randomBytes(1000 - 40, i));
        bulk.finish();
    };
    const Operation removal = [](Archive& archive) {
        archive.removeEntry(*archive.findEntry("one"), chunk);
    };
    const Bytes before = SampleArchive().bytes();
    std::vector<std::pair<std::uint64_t, Operation>> cases{
        {before.size() + 100000, append}, {before.size() + 3 * 1000 + 60, bulkRun}};
    Archive reference = Archive::openMemory(before, Archive::AccessMode::update);
    removal(reference);
    for (std::uint64_t limit = 0; limit < reference.data()->size(); limit += chunk / 2)
        cases.emplace_back(limit, removal);
    for (const auto& [limit, operation] : cases) {
        SCOPED_TRACE(limit);
        SampleArchive sample;
        const auto code = codeOnAFullDisk(limit, [&] { operation(*sample.archive); });
        EXPECT_TRUE(code == DataError::unwritableFile ||
                    (limit < before.size() && code == std::errc::file_too_large))
            << code.message();
        EXPECT_EQ(sample.bytes(), before);
        EXPECT_EQ(listTree(sample.folder.path()), std::vector<std::string>{"a.zip"});
        appendNumbered(*sample.archive, 0);
        EXPECT_EQ(sample.contents(), sampleContents(1));
    }
}

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

// An operation on the sample archive, given its entries as looked up before the storage fails.
using Operation = std::function<void(Archive&, const Entry& one, const Entry& two)>;

// Appends, a removal and extractions, each with the entry its errors must name. Extractions
// change no archive: they must fail with an error or deliver the entry's bytes.
TEST(StorageFaults, LeaveTheArchiveAsItWasOrAsTheOperationLeavesIt) {
    TemporaryDirectory folder;
    writeFileBytes(folder / "source", textBytes(20000, 7));
    const FileURL source = fileURL(folder / "source");
    const auto out = folder / "out";
    // A provider's append writes as a file's does: the storage faults strike the same writes.
    const auto append = [&](CompressionMethod method) -> Operation {
        return [&, method](Archive& archive, const Entry&, const Entry&) {
            archive.appendEntry("three", source,
                                {.compressionMethod = method, .bufferSize = chunk});
        };
    };
    const auto extract = [&](bool first) -> Operation {
        return [&, first](Archive& archive, const Entry& one, const Entry& two) {
            std::filesystem::remove(out);
            archive.extractEntry(first ? one : two, fileURL(out), {.bufferSize = chunk});
        };
    };
    const std::tuple<std::string, Operation, std::string> operations[] = {
        {"stored append", append(CompressionMethod::none), "three"},
        {"deflated append", append(CompressionMethod::deflate), "three"},
        {"removal",
         [](Archive& archive, const Entry& one, const Entry&) { archive.removeEntry(one, chunk); },
         "one"},
        {"deflated extraction", extract(true), "one"},
        {"stored extraction", extract(false), "two"},
    };
    const Bytes before = SampleArchive(true).bytes();
    const auto extracted = [&] {
        return std::filesystem::exists(out) ? readFileBytes(out) : Bytes();
    };
    // The operation on a fresh copy of the sample archive whose storage passes through `gate`:
    // its error, if any, and the archive's bytes after it.
    const auto run = [&](const Operation& operation, MemoryFile::TransferGate gate) {
        auto file = MemoryFile::make(before);
        Archive archive = ArchiveAccess::openMemoryFile(file, Archive::AccessMode::update);
        const Entry one = *archive.findEntry("one");
        const Entry two = *archive.findEntry("two");
        file->setTransferGate(std::move(gate));
        std::filesystem::remove(out);
        const auto error = errorOf([&] { operation(archive, one, two); });
        return std::pair(error, *archive.data());
    };
    for (const auto& [title, operation, named] : operations) {
        // A run without faults gives the outcome and the transfers it takes.
        auto log = std::make_shared<TransferLog>();
        const auto [referenceError, after] = run(operation, recordingGate(log));
        ASSERT_FALSE(referenceError) << referenceError->what();
        const Bytes extractedAfter = extracted();

        for (Kind kind : {Kind::readError, Kind::writeError, Kind::fullDisk}) {
            for (std::uint64_t point : faultPoints(*log, kind, before.size())) {
                SCOPED_TRACE(::testing::Message()
                             << title << ", fault " << static_cast<int>(kind) << " at " << point);
                const auto [error, bytes] = run(operation, failingGate({kind, point}));
                EXPECT_EQ(bytes, error ? before : after);
                if (error) {
                    EXPECT_EQ(error->path(), "memory:/") << error->what();
                    EXPECT_EQ(error->entry(), named) << error->what();
                } else {
                    EXPECT_EQ(extracted(), extractedAfter);
                }
            }
        }
    }
}

}  // namespace
}  // namespace marrowzip::testing
