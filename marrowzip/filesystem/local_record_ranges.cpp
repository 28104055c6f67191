#include "marrowzip/filesystem/local_record_ranges.hpp"

#include <sys/types.h>

#include <cstdio>
#include <iterator>
#include <limits>

#include "marrowzip/archive/archive_access.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/common/saturating.hpp"

namespace marrowzip {
namespace {

// The stream's length, without moving its position for good; the largest value when unknown.
std::uint64_t streamLength(std::FILE* stream) {
    if (stream == nullptr) return std::numeric_limits<std::uint64_t>::max();
    const off_t position = ::ftello(stream);
    if (position < 0 || ::fseeko(stream, 0, SEEK_END) != 0) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    const off_t length = ::ftello(stream);
    ::fseeko(stream, position, SEEK_SET);
    return length < 0 ? std::numeric_limits<std::uint64_t>::max()
                      : static_cast<std::uint64_t>(length);
}

}  // namespace

LocalRecordRanges::LocalRecordRanges(const Archive& archive) {
    // The size comes from the end records: a claim beyond the stream only covers bytes that no
    // entry can occupy anyway.
    const std::uint64_t start = archive.offsetToStartOfCentralDirectory();
    const std::uint64_t length = streamLength(ArchiveAccess::reader(archive).stream());
    std::uint64_t end = saturatingAdd(start, archive.sizeOfCentralDirectory());
    if (end > length) end = length;
    if (start < end) insert(start, end);
}

void LocalRecordRanges::claim(const Entry& entry, const std::string& archivePath,
                              const std::string& entryPath) {
    const std::uint64_t start = entry.localHeaderOffset();
    const std::uint64_t end = saturatingAdd(start, entry.localRecordLength());
    if (!insert(start, end)) {
        throw Error(ArchiveError::invalidLocalHeaderDataOffset, archivePath, entryPath,
                    "the entry's local record overlaps another entry or the central directory");
    }
}

bool LocalRecordRanges::insert(std::uint64_t start, std::uint64_t end) {
    // The first range that starts at or after `start`, and the one before it: only these two
    // can meet [start, end) when the recorded ranges are disjoint.
    auto next = ranges_.lower_bound(start);
    if (next != ranges_.end() && next->first < end) return false;
    if (next != ranges_.begin() && std::prev(next)->second > start) return false;
    ranges_.emplace_hint(next, start, end);
    return true;
}

}  // namespace marrowzip
