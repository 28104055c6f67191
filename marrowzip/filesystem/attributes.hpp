// The engine's layer over the host file system: type, size and date of an item (never following
// a final link), the attributes an entry carries, and applying them to an extracted item.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "marrowzip/common/file_url.hpp"
#include "marrowzip/common/types.hpp"
#include "marrowzip/format/entry.hpp"
#include "marrowzip/write/append_options.hpp"

namespace marrowzip {

// The attributes carried from an entry to an extracted item.
struct FileAttributes {
    std::optional<std::uint16_t> posixPermissions;  // permission bits only, never type bits
    std::optional<Timestamp> modificationDate;
};

// One lstat(2) of the item for type, size, date and mode: a tree of small files costs little
// more than its system calls, and the item itself (never a final link) is what counts.
// FileError::fileReadNoSuchFile when the URL names nothing on this file system.
struct stat statusOfItem(const FileURL& url);
// A modification time as the engine's date: seconds with their fraction.
Date dateOf(const struct timespec& time);
// What an append records of an item lstat(2) told of: its type (anything but a folder or a
// link counts as a file), size, date and permissions.
ProvidedEntry providedEntryOf(const struct stat& status);

// Whether anything (a dangling link included) is at the URL's path.
bool isReachable(const FileURL& url);

// Throw FileError::fileReadNoSuchFile (with the item's path) when nothing is there.
EntryType typeOfItem(const FileURL& url);

// Creates the folder that will hold `url`, with every missing folder above it.
void createParentDirectory(const FileURL& url);

FileAttributes attributesOfEntry(const Entry& entry);
// The attributes without the set-user-ID, set-group-ID and sticky bits: what an extraction
// applies unless it is told to keep them (an archive must not hand out privileges).
FileAttributes withoutSpecialBits(FileAttributes attributes);

// Applies the attributes to the item `name` inside the folder open as `directoryDescriptor`
// (AT_FDCWD for a path), never following a final link: a link's own attributes, not those of
// what it points to; `displayPath` names the item in errors.
void applyAttributesAt(const FileAttributes& attributes, int directoryDescriptor, const char* name,
                       bool isLink, const std::string& displayPath);
// The same for a file open for writing, through its descriptor (fchmod, futimens): whatever is
// put at its name meanwhile, only the file this descriptor holds is changed. Its data must be
// flushed first, since a later write would change its time again.
void applyAttributesToOpenFile(const FileAttributes& attributes, int descriptor,
                               const std::string& displayPath);

}  // namespace marrowzip
