// The parts of an archive that the entries read so far occupy. Central records are free to point
// anywhere, so many of them can point at the same local data: one small compressed block, listed
// thousands of times, expands to far more than the archive's own size. A reader that tracks the
// ranges refuses every entry whose local record shares bytes with an earlier one or with the
// central directory, whatever its records claim.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace marrowzip {

class Archive;
class Entry;

class LocalRecordRanges {
public:
    // Starts with the central directory's range, as the end records give it (cut at the end of
    // the stream when they claim more).
    explicit LocalRecordRanges(const Archive& archive);

    // Records the range of the entry's local record, from its header to the end of its data
    // (and data descriptor). Throws ArchiveError::invalidLocalHeaderDataOffset, naming
    // `archivePath` and `entryPath`, when the range shares a byte with one recorded before.
    void claim(const Entry& entry, const std::string& archivePath, const std::string& entryPath);

private:
    // Whether [start, end) meets a recorded range; records it when it does not.
    bool insert(std::uint64_t start, std::uint64_t end);

    std::map<std::uint64_t, std::uint64_t> ranges_;  // start → end (exclusive), disjoint
};

}  // namespace marrowzip
