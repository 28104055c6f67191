// What keeps an update of an archive file safe from a kill or a power cut, and from a second
// writer: the rollback journal beside the archive, the advisory locks, and the folder syncs.
//
// An update overwrites the archive's tail (its central directory and end records) with new
// entries before it writes the new tail. Before the first byte of the old tail is overwritten,
// the old tail and the file's length go to a journal, "<archive>.marrowzip-journal", made
// durable together with its folder; once the new tail is durable the journal goes. Whoever next
// opens the archive finds the journal of an update that never finished and puts the old bytes
// back (or, unable to write, reads the old tail from the journal).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "marrowzip/common/types.hpp"
#include "marrowzip/common/unique_fd.hpp"
#include "marrowzip/common/unique_file.hpp"

namespace marrowzip {

// The journal's name: the archive's path with this suffix.
inline constexpr const char* journalSuffix = ".marrowzip-journal";
std::string journalPathFor(const std::string& archivePath);

// The old state an unfinished update is rolled back to.
struct JournalRecord {
    std::uint64_t device = 0;  // the archive file it belongs to
    std::uint64_t inode = 0;
    std::uint64_t tailOffset = 0;         // where the old tail began
    std::uint64_t originalLength = 0;     // the file's length before the update
    std::uint32_t precedingChecksum = 0;  // of the 64 KiB before the tail, which stay as they are
    Bytes tail;                           // the old bytes from tailOffset to originalLength
};

// Copies bytes [tailOffset, end of file) of the archive open at `archive` into a new journal
// for `archivePath`, written under a temporary name and renamed into place, then syncs it and
// its folder: a journal that exists is complete.
void writeJournal(const std::string& archivePath, int archive, std::uint64_t tailOffset);
// The journal of `archivePath`: absent when there is none; throws when it cannot be read or
// fails its checksum (a journal is never trusted half).
std::optional<JournalRecord> readJournal(const std::string& archivePath);
// Deletes the journal and syncs its folder.
void removeJournal(const std::string& archivePath);
// Whether `record` was written for the file open at `archive`: the same file, still holding the
// bytes before the tail that the journal saw.
bool journalBelongsTo(const JournalRecord& record, int archive);
// Puts the journal's bytes back into the archive open (for writing) at `archive` and syncs it.
void restoreFromJournal(const JournalRecord& record, int archive, const std::string& archivePath);

// Makes a directory entry change (a creation, rename or removal) in the folder of `path`
// durable.
void syncFolderOf(const std::string& path);

// A read-only stream over the archive at `archive` below `tailOffset` and over `tail` from
// there: the archive as it was before an update that is overwriting its tail.
UniqueFile openStreamWithTail(UniqueFd archive, std::uint64_t tailOffset, Bytes tail);

// Advisory whole-file locks (flock): a writer holds an exclusive lock for its update, a reader
// a shared one while it opens. Both retry after an interruption.
bool tryLockFile(int descriptor, bool exclusive);
void lockFile(int descriptor, bool exclusive, const std::string& path);
void unlockFile(int descriptor);

}  // namespace marrowzip
