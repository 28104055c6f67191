// A script of appends and removals on an in-memory archive, read from the input. After every
// step the archive's bytes must open again and list exactly the entries that the script expects,
// with their data; a step that fails must leave the bytes as they were.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "marrowzip/archive/archive.hpp"
#include "marrowzip/common/error.hpp"

namespace {

using marrowzip::Archive;
using marrowzip::Bytes;
using marrowzip::ByteView;
using marrowzip::EntryType;
using marrowzip::Error;
using marrowzip::fuzzing::fail;
using marrowzip::fuzzing::FuzzInput;

constexpr std::size_t maximumSteps = 24;

struct ExpectedEntry {
    std::string path;
    EntryType type = EntryType::file;
    Bytes data;
};

Bytes contentsOf(Archive& archive, const marrowzip::Entry& entry) {
    Bytes contents;
    archive.extractEntry(entry, [&](ByteView chunk) {
        contents.insert(contents.end(), chunk.begin(), chunk.end());
    });
    return contents;
}

void checkListing(const Archive& archive, const std::vector<ExpectedEntry>& expected) {
    if (archive.totalNumberOfEntries() != expected.size()) fail("wrong entry count after a step");
    Archive reopened = Archive::openMemory(*archive.data(), Archive::AccessMode::read);
    std::size_t index = 0;
    for (marrowzip::EntryIterator entries = reopened.makeEntryIterator();
         const auto entry = entries.next(); ++index) {
        if (index >= expected.size()) fail("the re-opened archive lists an extra entry");
        const ExpectedEntry& wanted = expected[index];
        if (entry->path() != wanted.path || entry->type() != wanted.type) {
            fail("the re-opened archive lists another entry");
        }
        if (wanted.type != EntryType::directory && contentsOf(reopened, *entry) != wanted.data) {
            fail("an entry's data changed");
        }
    }
    if (index != expected.size()) fail("the re-opened archive lacks an entry");
}

// A name from the input, sometimes one that an earlier entry already has.
std::string nameFor(FuzzInput& input, const std::vector<ExpectedEntry>& expected) {
    const std::uint8_t choice = input.byte();
    if (choice >= 0xF0 && !expected.empty()) return expected[choice % expected.size()].path;
    return input.text(input.length(24));
}

// A few bytes from the input, repeated so that the data spans several chunks.
Bytes dataFor(FuzzInput& input) {
    const Bytes pattern = input.bytes(input.length(64));
    const std::size_t repeats = input.length(5) == 4 ? 1 + input.byte() * 64 : 1;
    Bytes data;
    for (std::size_t i = 0; i < repeats; ++i)
        data.insert(data.end(), pattern.begin(), pattern.end());
    return data;
}

marrowzip::Date dateFor(FuzzInput& input) {
    if (input.byte() % 4 != 0) return 1.7e9;
    // Any bit pattern: NaN, infinities and dates far outside what DOS dates hold.
    const Bytes raw = input.bytes(sizeof(double));
    double date = 0;
    if (raw.size() == sizeof date) std::memcpy(&date, raw.data(), sizeof date);
    return date;
}

void append(Archive& archive, FuzzInput& input, std::vector<ExpectedEntry>& expected) {
    ExpectedEntry entry;
    entry.type = static_cast<EntryType>(input.byte() % 3);
    entry.path = nameFor(input, expected);
    if (entry.type != EntryType::directory) entry.data = dataFor(input);
    const auto method = input.byte() % 2 == 0 ? marrowzip::CompressionMethod::none
                                              : marrowzip::CompressionMethod::deflate;
    constexpr std::int64_t bufferSizes[] = {1, 5, 512, marrowzip::defaultChunkSize};
    const std::int64_t bufferSize = bufferSizes[input.byte() % std::size(bufferSizes)];
    // Sometimes the announced size disagrees with what the provider delivers.
    const bool shortData = input.byte() % 16 == 15;
    const auto declared = static_cast<std::int64_t>(entry.data.size()) + (shortData ? 1 : 0);
    const marrowzip::Date date = dateFor(input);
    std::optional<std::uint16_t> permissions;
    if (input.byte() % 2 == 0)
        permissions = static_cast<std::uint16_t>(input.byte() << 8 | input.byte());
    const Bytes data = entry.data;
    auto provider = [&data](std::int64_t position, std::int64_t size) {
        const auto start = std::min(static_cast<std::size_t>(position), data.size());
        const auto end = std::min(start + static_cast<std::size_t>(size), data.size());
        return Bytes(data.begin() + static_cast<std::ptrdiff_t>(start),
                     data.begin() + static_cast<std::ptrdiff_t>(end));
    };

    const Bytes before = *archive.data();
    try {
        archive.appendEntry(entry.path,
                            {.type = entry.type,
                             .uncompressedSize = declared,
                             .modificationDate = date,
                             .permissions = permissions},
                            provider, {.compressionMethod = method, .bufferSize = bufferSize});
    } catch (const Error&) {
        if (*archive.data() != before) fail("a failed append changed the archive");
        return;
    }
    if (shortData && entry.type != EntryType::directory) {
        fail("an append whose data was short of its size succeeded");
    }
    if (entry.type == EntryType::directory && !entry.path.ends_with('/')) entry.path += '/';
    expected.push_back(std::move(entry));
}

void remove(Archive& archive, FuzzInput& input, std::vector<ExpectedEntry>& expected) {
    if (expected.empty()) return;
    const std::size_t index = input.byte() % expected.size();
    marrowzip::EntryIterator entries = archive.makeEntryIterator();
    std::optional<marrowzip::Entry> entry;
    for (std::size_t i = 0; i <= index; ++i)
        entry = entries.next();
    if (!entry) fail("an expected entry is missing from the live archive");
    const Bytes before = *archive.data();
    try {
        archive.removeEntry(*entry, input.byte() % 2 == 0 ? 3 : marrowzip::defaultChunkSize);
    } catch (const Error&) {
        if (*archive.data() != before) fail("a failed removal changed the archive");
        return;
    }
    expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(index));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    Archive archive = Archive::openMemory({}, Archive::AccessMode::create);
    std::vector<ExpectedEntry> expected;
    for (std::size_t step = 0; step < maximumSteps && !input.empty(); ++step) {
        switch (input.byte() % 4) {
            case 0:
                remove(archive, input, expected);
                break;
            case 1:
                // A fresh handle on the same bytes: no cached central directory.
                archive = Archive::openMemory(*archive.data(), Archive::AccessMode::update);
                break;
            default:
                append(archive, input, expected);
                break;
        }
        checkListing(archive, expected);
    }
    return 0;
}
