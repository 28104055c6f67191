// Helpers of the operation tests: archives opened by path, entries appended from bytes in
// memory, the entries an archive holds, the errors an operation throws (under a watching
// thread), and a small sample archive.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/progress.hpp"
#include "support/test_support.hpp"

namespace marrowzip::testing {

inline constexpr Date sampleDate = 1700000000;  // 2023-11-14T22:13:20Z

inline Archive openArchive(const std::filesystem::path& path,
                           Archive::AccessMode mode = Archive::AccessMode::create) {
    return Archive::openFile(fileURL(path), mode);
}

// What a provider over `bytes` returns.
inline Bytes slice(const Bytes& bytes, std::int64_t position, std::int64_t size) {
    return Bytes(bytes.begin() + position, bytes.begin() + position + size);
}

inline void appendBytes(Archive& archive, const std::string& path, const Bytes& bytes,
                        CompressionMethod method = CompressionMethod::none) {
    archive.appendEntry(
        path, {.uncompressedSize = std::ssize(bytes), .modificationDate = sampleDate},
        [&](std::int64_t position, std::int64_t size) { return slice(bytes, position, size); },
        {.compressionMethod = method});
}

inline Bytes entryBytes(Archive& archive, const Entry& entry) {
    Bytes out;
    archive.extractEntry(
        entry, [&](ByteView chunk) { out.insert(out.end(), chunk.begin(), chunk.end()); });
    return out;
}

// Paths and bytes of every entry, in the archive's order.
using Contents = std::vector<std::pair<std::string, Bytes>>;

inline Contents contentsOf(Archive& archive) {
    Contents contents;
    EntryIterator entries = archive.makeEntryIterator();
    while (auto entry = entries.next())
        contents.emplace_back(entry->path(), entryBytes(archive, *entry));
    EXPECT_FALSE(entries.endedEarly());
    return contents;
}

// As a fresh reader of the file or of the buffer finds them.
inline Contents contentsOf(const std::filesystem::path& path) {
    Archive reader = openArchive(path, Archive::AccessMode::read);
    return contentsOf(reader);
}
inline Contents contentsOf(const Bytes& bytes) {
    Archive reader = Archive::openMemory(bytes, Archive::AccessMode::read);
    return contentsOf(reader);
}

// The error of `operation` while another thread reads the progress over and over, as a progress
// bar does, and cancels once the fraction completed exceeds `cancelAbove` (never above 1).
inline std::optional<Error> watched(Progress& progress, double cancelAbove,
                                    const std::function<void()>& operation) {
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done.load()) {
            if (progress.fractionCompleted() > cancelAbove) progress.cancel();
        }
    });
    const auto error = errorOf(operation);
    done.store(true);
    watcher.join();
    return error;
}

// Entries that tests append behind those of a sample archive, "bulk0" on; odd ones deflated.
inline void appendNumbered(Archive& archive, int i) {
    appendBytes(archive, "bulk" + std::to_string(i), textBytes(i * 7000, i),
                i % 2 ? CompressionMethod::deflate : CompressionMethod::none);
}

// What a sample archive holds with `numbered` entries behind its own.
inline Contents sampleContents(int numbered) {
    Contents result{{"one", textBytes(30000)}, {"two", randomBytes(9000)}};  // deflated, stored
    for (int i = 0; i < numbered; ++i)
        result.emplace_back("bulk" + std::to_string(i), textBytes(i * 7000, i));
    return result;
}

// An archive in a file or in memory with two entries: "one" (deflated text) and "two" (stored
// noise).
struct SampleArchive {
    TemporaryDirectory folder;
    std::filesystem::path path = folder / "a.zip";
    std::optional<Archive> archive;
    explicit SampleArchive(bool inMemory = false) {
        archive.emplace(inMemory ? Archive::openMemory({}, Archive::AccessMode::create)
                                 : openArchive(path));
        for (const auto& [name, bytes] : sampleContents(0)) {
            appendBytes(*archive, name, bytes,
                        name == "one" ? CompressionMethod::deflate : CompressionMethod::none);
        }
    }
    Bytes bytes() { return archive->data() ? *archive->data() : readFileBytes(path); }
    Contents contents() { return contentsOf(bytes()); }
    std::string complaints() { return archive->data() ? "" : clientComplaints(path); }
};

}  // namespace marrowzip::testing
