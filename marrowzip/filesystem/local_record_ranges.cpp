#include "marrowzip/filesystem/local_record_ranges.hpp"

#include <sys/types.h>

#include <algorithm>
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
    constexpr std::uint64_t unknown = std::numeric_limits<std::uint64_t>::max();
    const off_t position = stream == nullptr ? -1 : ::ftello(stream);
    if (position < 0 || ::fseeko(stream, 0, SEEK_END) != 0) return unknown;
    const off_t length = ::ftello(stream);
    ::fseeko(stream, position, SEEK_SET);
    return length < 0 ? unknown : static_cast<std::uint64_t>(length);
}

}  // namespace

LocalRecordRanges::LocalRecordRanges(const Archive& archive) {
    // The size comes from the end records: a claim beyond the stream only covers bytes that no
    // entry can occupy anyway.
    const std::uint64_t start = archive.offsetToStartOfCentralDirectory();
    const std::uint64_t length = streamLength(ArchiveAccess::reader(archive).stream());
    const std::uint64_t end =
        std::min(saturatingAdd(start, archive.sizeOfCentralDirectory()), length);
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
    const auto before = next != ranges_.begin() ? std::prev(next) : ranges_.end();
    if (before != ranges_.end() && before->second > start) return false;
    // Ranges that touch are joined: the local records of an archive usually follow one another
    // without a gap, and the map then holds a handful of ranges instead of one per entry.
    // (An empty range is kept as a range of its own, as are the neighbours of one.)
    const auto touches = [](auto range, std::uint64_t at, bool after) {
        return range->first < range->second && (after ? range->first : range->second) == at;
    };
    const bool joins = start < end;
    const bool joinsNext = joins && next != ranges_.end() && touches(next, end, true);
    if (joins && before != ranges_.end() && touches(before, start, false)) {
        before->second = joinsNext ? next->second : end;
        if (joinsNext) ranges_.erase(next);
        return true;
    }
    if (joinsNext) {
        end = next->second;
        next = ranges_.erase(next);
    }
    ranges_.emplace_hint(next, start, end);
    return true;
}

}  // namespace marrowzip
